#pragma once

#include <QMessageBox>
#include <QObject>
#include <QQueue>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers the modal boxes and file dialogs that the code under test opens with the real static
// QMessageBox / QFileDialog calls, and records what each one showed.
class DialogAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QMessageBox::Icon icon;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton default_button;
        bool has_parent;
    };
    struct FileDialog
    {
        bool save;
        QString caption;
        QString directory;
        QStringList filters;
        bool has_parent;
    };

    DialogAnswerer();

    // The answer for the next file dialog: a path, or an empty text to cancel it; then, once the dialog has
    // closed, runs after (to change the world between the choice and its use).
    void answer_file(const QString& path, std::function<void()> after = {})
    {
        file_answers.enqueue(path);
        file_afters.enqueue(std::move(after));
    }

    QList<Box> boxes;
    QList<FileDialog> file_dialogs;

    // "Warning: Serial Port Not Found!" style lines, for readable failures.
    QStringList box_lines() const;

private slots:
    void look();

private:
    QTimer timer;
    QQueue<QString> file_answers;
    QQueue<std::function<void()>> file_afters;
};
