#pragma once

#include <QMessageBox>
#include <QObject>
#include <QQueue>
#include <QStringList>
#include <QTimer>

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

    // The answer for the next file dialog: a path, or an empty text to cancel it.
    void answer_file(const QString& path) { file_answers.enqueue(path); }

    QList<Box> boxes;
    QList<FileDialog> file_dialogs;

    // "Warning: Serial Port Not Found!" style lines, for readable failures.
    QStringList box_lines() const;

private slots:
    void look();

private:
    QTimer timer;
    QQueue<QString> file_answers;
};
