#include "transcoderoutput.h"

#include "transcode/localfiles.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QProcess>
#include <QTime>

namespace {

bool debug_enabled()
{
    const QLoggingCategory* category = QLoggingCategory::defaultCategory();
    return category && category->isDebugEnabled();
}

} // namespace

QByteArray chunk_text(const QByteArray& chunk)
{
    const int zero = chunk.indexOf('\0');
    return zero < 0 ? chunk : chunk.left(zero);
}

protocol::Chunk classify_chunk(const QByteArray& text, const std::vector<protocol::Outcome>& wanted)
{
    return protocol::classify(std::string_view(text.constData(), size_t(text.size())), wanted);
}

int scan_progress_record(const QByteArray& text, ProgressFields& fields)
{
    // The pieces are scanned as UTF-8 text; only malformed bytes change here.
    const QByteArray utf8 = text.isValidUtf8() ? text : QString::fromUtf8(text).toUtf8();
    const int pieces = protocol::read_progress(std::string_view(utf8.constData(), size_t(utf8.size())), fields);
    if (pieces >= 3 && debug_enabled()) {
        qDebug("%d %g %s \"%s\" %g", fields.frame, double(fields.fps), QByteArray::number(fields.size).constData(),
               fields.time, double(fields.bitrate));
    }
    return pieces;
}

std::optional<qint64> position_seconds(const char* timeText)
{
    const QTime time = QTime::fromString(QString::fromUtf8(timeText), QStringLiteral("hh:mm:ss.z"));
    if (!time.isValid())
        return std::nullopt;
    // The fraction is dropped, never rounded into the seconds.
    return qint64(time.hour()) * 3600 + time.minute() * 60 + time.second();
}

std::optional<qint64> position_ms(const char* timeText)
{
    const QTime time = QTime::fromString(QString::fromUtf8(timeText), QStringLiteral("hh:mm:ss.z"));
    if (!time.isValid())
        return std::nullopt;
    return qint64(time.msecsSinceStartOfDay());
}
