#pragma once

#include "outcome/Messages.h"
#include "package/Packager.h"
#include "package/SRecord.h"
#include "package/Unpacker.h"
#include "satellite/SatelliteCsv.h"
#include "satellite/SatelliteProtocol.h"
#include "update/Bootloader.h"

#include <optional>

// What the user is told at the end of each job, the same in the window and on the command line. Nothing
// means that the job ends without a message (a stopped update, a finished conversion).
std::optional<Message> message_for(bootloader::Outcome outcome);
Message message_for(satellite_protocol::Outcome outcome, bool reading);
std::optional<Message> message_for(packager::Outcome outcome);
std::optional<Message> message_for(srecord::IdentityOutcome outcome);

// The Update tab's status line (and the command line's status output) in each phase, and at the end of
// an update; null when the ending leaves the status line as it was (an update that failed midway).
const char* status_for(bootloader::Phase phase);
const char* status_for(bootloader::Outcome outcome);
// An update that ended by itself once every page had gone: its progress shows the whole image.
bool ends_with_every_page(bootloader::Outcome outcome);
// A word for how an update ended, for a rack's table: "completed", "stopped", "not confirmed", "failed".
const char* outcome_word(bootloader::Outcome outcome);

// What unpack says when it ends early (an image that cannot be turned back, a file that cannot be
// written); empty when it was done.
QString unpack_text(const unpacker::Result& result, const QString& bin_path, const QString& s19_path);

// Why a CSV table's line is not read ("does not read as four fields (...)", "holds a position that is not a
// plain number: ..."); the command line's text of the refusal ("FILE:LINE: error: the line ..."), and the
// window's ("Line 3 of the CSV file ...").
QString csv_refusal_reason(const satellite_csv::Table& table);
QString csv_refusal_text(const QString& path, const satellite_csv::Table& table);
QString csv_refused_line_text(const satellite_csv::Table& table);
// What reading a CSV table tells beside its rows: a header skipped (a note), rows beyond the 99th (a
// warning). line is the file's line, 0 for the file as a whole.
struct CsvNote
{
    int line;
    bool warning;
    QString text;
};
QList<CsvNote> csv_notes(const satellite_csv::Table& table);
// What the window tells after a CSV table is loaded: the notes, and every cell that changes on its way into
// the box as sat-check warns of it, one line each; empty when there is nothing to tell.
QString csv_load_remarks(const satellite_csv::Table& table);
// How a line was read, where not as the tool writes its own file ("quoted, UTF-8 (byte-order mark)");
// empty for a line read as the tool's own.
QString csv_form_text(unsigned form);
// The rows of a saved table with a character written as "?", as a message's list ("3, 17").
QString row_list(const QList<int>& rows);
