#include "app/FontFit.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTableWidget>

namespace font_fit {
namespace {

// Arial Narrow's metric twin fits every text of the form, the port lists' "COM10" to "COM15" included;
// the condensed DejaVu fits the captions and buttons, but not those.
const char* const fallback_families[] = {"Liberation Sans Narrow", "DejaVu Sans Condensed"};

QString describe(const QWidget* widget, const QString& text, int needed, int available)
{
    return QStringLiteral("%1: \"%2\" needs %3 px, has %4 px")
        .arg(widget->objectName(), text)
        .arg(needed)
        .arg(available);
}

int label_room(const QLabel* label)
{
    int indent = label->indent();
    if (indent < 0)
        indent = label->frameWidth() > 0 ? label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 : 0;
    return label->contentsRect().width() - 2 * label->margin() - indent;
}

int button_room(const QPushButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width();
}

int combo_room(const QComboBox* combo)
{
    QStyleOptionComboBox option;
    option.initFrom(combo);
    return combo->style()
        ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo)
        .width();
}

void check_header(const QHeaderView* header, const QTableWidget* table, QStringList& clipped)
{
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const QFontMetrics metrics(header->font());
    for (int i = 0; i < table->columnCount(); ++i) {
        const QString text = table->model()->headerData(i, Qt::Horizontal).toString();
        const int needed = metrics.horizontalAdvance(text) + 2 * margin;
        const int available = header->sectionSize(i);
        if (needed > available)
            clipped << describe(header, text, needed, available);
    }
}

void check(const QWidget* widget, QStringList& clipped)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        const int needed = label->fontMetrics().horizontalAdvance(label->text());
        if (!label->text().isEmpty() && needed > label_room(label))
            clipped << describe(label, label->text(), needed, label_room(label));
    } else if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        const int needed = button->fontMetrics().horizontalAdvance(button->text());
        if (needed > button_room(button))
            clipped << describe(button, button->text(), needed, button_room(button));
    } else if (const auto* combo = qobject_cast<const QComboBox*>(widget)) {
        for (int i = 0; i < combo->count(); ++i) {
            const int needed = combo->fontMetrics().horizontalAdvance(combo->itemText(i));
            if (needed > combo_room(combo))
                clipped << describe(combo, combo->itemText(i), needed, combo_room(combo));
        }
    } else if (const auto* table = qobject_cast<const QTableWidget*>(widget)) {
        // The row numbers' header grows to fit them; the column widths are fixed.
        check_header(table->horizontalHeader(), table, clipped);
    }
}

} // namespace

QStringList clipped_texts(const QWidget* root)
{
    QStringList clipped;
    check(root, clipped);
    for (const QWidget* child : root->findChildren<QWidget*>())
        check(child, clipped);
    return clipped;
}

QString fit_default_family(QWidget* root)
{
#ifndef Q_OS_WIN
    // With no family that fits everything, the one that clips least; the platform's own on a tie.
    const QFont original = root->font();
    QFont best = original;
    qsizetype least = clipped_texts(root).size();
    for (const char* family : fallback_families) {
        if (least == 0)
            break;
        const QString name = QString::fromLatin1(family);
        if (!QFontDatabase::hasFamily(name))
            continue;
        QFont font = original;
        font.setFamilies({name});
        root->setFont(font);
        const qsizetype clipped = clipped_texts(root).size();
        if (clipped < least) {
            least = clipped;
            best = font;
        }
    }
    root->setFont(best);
#endif
    // On Windows the form's own Arial stays: a family swapped in is measured but not always drawn (seen
    // under Wine), and a PC rarely has a narrow twin of Arial. What still clips gets its pixels.
    if (!clipped_texts(root).isEmpty())
        widen_clipped_labels(root);
    return QFontInfo(root->font()).family();
}

int widen_clipped_labels(QWidget* root)
{
    int widened = 0;
    for (QLabel* label : root->findChildren<QLabel*>()) {
        const int lack = label->fontMetrics().horizontalAdvance(label->text()) - label_room(label);
        if (label->text().isEmpty() || lack <= 0)
            continue;
        const QRect old = label->geometry();
        const int grow = qMin(lack, old.left());
        if (grow <= 0)
            continue;
        label->setGeometry(old.adjusted(-grow, 0, 0, 0));
        ++widened;
    }
    return widened;
}

} // namespace font_fit
