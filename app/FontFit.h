#pragma once

#include <QStringList>

class QWidget;

// The form was laid out for Windows' 9 pt dialog font. Wider families (DejaVu Sans, the usual default on
// Linux, and today's Arial, a few pixels wider than the one it was drawn with) clip some captions in their
// fixed-width labels, so the window picks a family in which every text fits rather than changing the
// geometry, and widens a label only where no installed family fits.
namespace font_fit {

// Every caption, button, list item and header text under root that does not fit its widget, one line each
// ("objectName: text needs N px, has M px"); empty when everything fits.
QStringList clipped_texts(const QWidget* root);

// When some text under root is clipped, gives root (and so every child without a family of its own) the
// installed fallback family that clips least, keeping the point size; a caption that still does not fit
// then has its label widened to the left by what it lacks, its right edge (where the text is aligned,
// beside its field) kept. Returns the family in use.
QString fit_default_family(QWidget* root);

// Widens each label under root whose caption is clipped, leftwards by the pixels it lacks, as far as its
// parent leaves room. Returns how many labels were widened.
int widen_clipped_labels(QWidget* root);

} // namespace font_fit
