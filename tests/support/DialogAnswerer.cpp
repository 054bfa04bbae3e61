#include "DialogAnswerer.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace {
const char* const answered = "kdr7_answered";
}

DialogAnswerer::DialogAnswerer()
{
    connect(&timer, &QTimer::timeout, this, &DialogAnswerer::look);
    timer.start(10);
}

QStringList DialogAnswerer::box_lines() const
{
    QStringList lines;
    for (const Box& b : boxes)
        lines << b.title + QStringLiteral(": ") + b.text;
    return lines;
}

void DialogAnswerer::look()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->property(answered).toBool())
        return;
    modal->setProperty(answered, true);

    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        QPointer<QMessageBox> guard(box);
        // A box a file dialog raises about its own choice ("replace it?") is the dialog's, not the tool's.
        if (qobject_cast<QFileDialog*>(box->parentWidget()) != nullptr) {
            QMetaObject::invokeMethod(
                box,
                [guard] {
                    if (guard && guard->button(QMessageBox::Yes))
                        guard->button(QMessageBox::Yes)->click();
                },
                Qt::QueuedConnection);
            return;
        }
        QMessageBox::StandardButton default_button = QMessageBox::NoButton;
        if (box->defaultButton() != nullptr)
            default_button = box->standardButton(box->defaultButton());
        boxes << Box{box->icon(),    box->windowTitle(),
                     box->text(),    box->standardButtons(),
                     default_button, box->parentWidget() != nullptr};
        QMetaObject::invokeMethod(
            box,
            [guard] {
                if (!guard)
                    return;
                if (QAbstractButton* yes = guard->button(QMessageBox::Yes))
                    yes->click();
                else
                    guard->accept();
            },
            Qt::QueuedConnection);
        return;
    }

    if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        file_dialogs << FileDialog{dialog->acceptMode() == QFileDialog::AcceptSave, dialog->windowTitle(),
                                   dialog->directory().absolutePath(), dialog->nameFilters(),
                                   dialog->parentWidget() != nullptr};
        const QString path = file_answers.isEmpty() ? QString() : file_answers.dequeue();
        const std::function<void()> after =
            file_afters.isEmpty() ? std::function<void()>() : file_afters.dequeue();
        if (after)
            connect(
                dialog, &QDialog::finished, this, [after] { after(); }, Qt::SingleShotConnection);
        QPointer<QFileDialog> guard(dialog);
        QMetaObject::invokeMethod(
            dialog,
            [guard, path] {
                if (!guard)
                    return;
                if (path.isEmpty()) {
                    guard->reject();
                    return;
                }
                // selectFile() is ignored on a shown dialog; typing the name is what works.
                if (auto* edit = guard->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    edit->setText(path);
                static_cast<QDialog*>(guard.data())->accept();
            },
            Qt::QueuedConnection);
    }
}
