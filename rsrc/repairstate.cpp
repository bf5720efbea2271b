#include "repairstate.h"

#include "protocol/repair.h"

#include <QCoreApplication>

#include <algorithm>

namespace {

QString translate(const char* text)
{
    return QCoreApplication::translate("RepairEngine", text);
}

} // namespace

QString repair_state_text(const QString& word)
{
    const QByteArray utf8 = word.toUtf8();
    for (int code = 0; code < protocol::repair_end_words; ++code) {
        if (utf8 == protocol::repair_end_word(code))
            return translate(protocol::repair_end_word(code));
    }
    // A word this window does not know yet: in Chinese it is shown as it
    // came; in another language only its "failed" or "not needed" part can be
    // told, never the Chinese reason.
    const bool translated = translate(protocol::repair_failed) != QString::fromUtf8(protocol::repair_failed);
    const bool ascii =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!translated || ascii)
        return word;
    return translate(word.startsWith(QString::fromUtf8(protocol::repair_not_needed)) ? protocol::repair_not_needed
                                                                                     : protocol::repair_failed);
}
