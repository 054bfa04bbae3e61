#pragma once

#include <QStringList>

class QWidget;

// The form was laid out for Windows' 9 pt dialog font. Wider families (DejaVu Sans, the usual default on
// Linux) clip some captions in their fixed-width labels, so outside Windows the window picks a family in
// which every text fits rather than changing the geometry.
namespace font_fit {

// Every caption, button, list item and header text under root that does not fit its widget, one line each
// ("objectName: text needs N px, has M px"); empty when everything fits.
QStringList clipped_texts(const QWidget* root);

// When some text under root is clipped, gives root (and so every child without a family of its own) the
// installed fallback family that clips least, keeping the point size. Returns the family in use.
QString fit_default_family(QWidget* root);

} // namespace font_fit
