#include "satellite/SatelliteCsv.h"

#include "common/InputFile.h"

#include <QStringDecoder>

#include <cstdint>

namespace satellite_csv {

namespace {

constexpr char byte_order_mark[] = "\xEF\xBB\xBF";
constexpr qint64 chunk_size = 64 * 1024;
constexpr int fields_read = 4;

// A numeric field in the width of T: every character other than a sign counts as a digit (its code minus
// "0"), the last sign wins, and the value wraps.
template <typename T> T number_field(const QByteArray& field)
{
    using U = std::make_unsigned_t<T>;
    U value = 0;
    bool minus = false;
    for (const char ch : field) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (c == '-')
            minus = true;
        else if (c == '+')
            minus = false;
        else
            value = U(value * 10 + U(c - 0x30));
    }
    return static_cast<T>(minus ? U(0 - value) : value);
}

struct Split
{
    QList<QByteArray> fields;
    bool quoted = false;        // some field was in quotes
    bool comma_outside = false; // a comma stood outside quotes (in a field, when ";" separates them)
    Problem problem = Problem::None;
};

// The fields of a line. With quotes, a field that begins with a double quote is quoted: it ends at the
// next double quote that is not doubled, and the separator (or the end of the line) must follow.
Split split(const QByteArray& text, char separator, bool quotes)
{
    Split s;
    const qsizetype n = text.size();
    qsizetype j = 0;
    for (;;) {
        QByteArray field;
        if (quotes && j < n && text[j] == '"') {
            s.quoted = true;
            ++j;
            for (;;) {
                const qsizetype close = text.indexOf('"', j);
                if (close < 0) {
                    s.problem = Problem::OpenQuote;
                    return s;
                }
                field.append(text.constData() + j, close - j);
                j = close + 1;
                if (j >= n || text[j] != '"')
                    break;
                field.append('"');
                ++j;
            }
            if (j < n && text[j] != separator) {
                s.problem = Problem::TextAfterQuote;
                return s;
            }
        } else {
            qsizetype end = text.indexOf(separator, j);
            if (end < 0)
                end = n;
            field = text.mid(j, end - j);
            s.comma_outside = s.comma_outside || field.contains(',');
            j = end;
        }
        s.fields << field;
        if (j >= n)
            break;
        ++j; // over the separator
    }
    if (s.fields.size() < fields_read)
        s.problem = Problem::TooFewFields;
    return s;
}

// A spreadsheet's ";" line: no comma outside quotes, and three or four semicolons.
bool semicolon_line(const QByteArray& text)
{
    const Split s = split(text, ';', true);
    return s.problem == Problem::None && !s.comma_outside && s.fields.size() <= fields_read + 1;
}

// True when every non-empty line passes, and there is one.
template <typename Test> bool every_line(const QList<QByteArray>& lines, Test test)
{
    bool any = false;
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        if (!test(line))
            return false;
        any = true;
    }
    return any;
}

// Text beyond ASCII that decodes as UTF-8 throughout: Latin-1 text seldom does (it would take pairs such
// as "Ã¼"), a spreadsheet's UTF-8 export always does.
bool is_utf8(const QList<QByteArray>& lines)
{
    bool high = false;
    for (const QByteArray& line : lines) {
        for (const char c : line)
            high = high || static_cast<unsigned char>(c) > 0x7F;
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString text = utf8.decode(line);
        if (utf8.hasError())
            return false;
    }
    return high;
}

// A UTF-8 field as the 8-bit text the box takes: a character outside ISO 8859-1 becomes "?". Returns the
// text when that happened.
QString to_latin1(QByteArray& field)
{
    const QString text = QString::fromUtf8(field);
    field = satellite_record::to_8bit(text);
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return text;
    }
    return QString();
}

} // namespace

SatelliteCells cells(const Line& line)
{
    SatelliteCells c;
    c.name = QString::fromLatin1(line.fields.value(0).left(satellite_record::name_length));
    c.position = QString::number(number_field<std::int16_t>(line.fields.value(1)));
    c.vertical = QString::number(number_field<std::int8_t>(line.fields.value(2)));
    c.horizontal = QString::number(number_field<std::int8_t>(line.fields.value(3)));
    return c;
}

QByteArray format_line(const SatelliteCells& cells, bool* replaced, bool first_line)
{
    QByteArray line;
    bool any = false;
    const QByteArray byte_order_mark("\xEF\xBB\xBF");
    for (const QString* cell : {&cells.name, &cells.position, &cells.vertical, &cells.horizontal}) {
        QByteArray text = satellite_record::to_8bit(*cell);
        for (const char c : {',', '\r', '\n', '\0'}) {
            if (text.contains(c)) {
                text.replace(c, '?');
                any = true;
            }
        }
        if (first_line && line.isEmpty() && text.startsWith(byte_order_mark)) {
            text[0] = '?';
            any = true;
        }
        line += text + ',';
    }
    if (replaced)
        *replaced = any;
    return line + "\r\n";
}

bool Reader::open(const QString& path)
{
    file.setFileName(path);
    return open_input(file);
}

Table Reader::read(Digest* digest)
{
    LineReader reader(file, max_line_length);
    if (digest) {
        reader.set_tap([digest](const QByteArray& chunk) {
            digest->sha256.addData(chunk);
            digest->size += chunk.size();
        });
    }
    QList<QByteArray> texts;
    QList<bool> cut;
    QByteArray line;
    while (reader.lines_read() < max_lines && reader.next(line)) {
        // A zero byte ends the line, as it ends the text of a line buffer.
        const qsizetype nul = line.indexOf('\0');
        texts << (nul < 0 ? line : line.left(nul));
        cut << reader.truncated();
    }
    if (digest) {
        for (;;) {
            const QByteArray chunk = file.read(chunk_size);
            if (chunk.isEmpty()) {
                digest->complete = !reader.failed() && file.atEnd();
                break;
            }
            digest->sha256.addData(chunk);
            digest->size += chunk.size();
        }
    }

    const bool marked = !texts.isEmpty() && texts[0].startsWith(byte_order_mark);
    if (marked)
        texts[0].remove(0, 3);
    // The tool ends every field with a comma; spreadsheets end the line after the last field.
    const bool own = !marked && every_line(texts, [](const QByteArray& t) { return t.endsWith(','); });
    const bool semicolons = !own && every_line(texts, semicolon_line);
    const bool utf8 = !own && !marked && is_utf8(texts);
    const unsigned file_form =
        (semicolons ? Semicolons : Own) | (marked ? ByteOrderMark : Own) | (utf8 ? Utf8 : Own);

    Table table;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        Split s = split(texts[i], semicolons ? ';' : ',', !own);
        if (s.problem != Problem::None) {
            table.lines.clear();
            table.refused_line = int(i + 1);
            table.problem = s.problem;
            return table;
        }
        Line l;
        l.form = file_form | (s.quoted ? Quoted : Own);
        l.cut = cut[i];
        if (marked || utf8) {
            for (qsizetype f = 0; f < s.fields.size(); ++f) {
                const QString lost = to_latin1(s.fields[f]);
                if (f == 0)
                    l.lost_name = lost;
            }
        }
        l.fields = s.fields;
        table.lines << l;
    }
    return table;
}

bool Writer::open(const QString& path)
{
    return file.open(path);
}

void Writer::write_row(const SatelliteCells& cells)
{
    bool replaced_here = false;
    file.write(format_line(cells, &replaced_here, rows == 0));
    ++rows;
    if (replaced_here)
        replaced << rows;
}

bool Writer::commit()
{
    return file.commit();
}

} // namespace satellite_csv
