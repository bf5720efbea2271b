#pragma once

class QObject;
class QTranslator;

// The windows' English texts, compiled from translations/davaz_en.ts into the
// plug-in itself.
namespace uitranslation {

// Loads and installs the English translation when the host's "cfg_language"
// setting or the system's language asks for it, as a child of `owner` (which
// takes it out again when it goes). Null when the texts stay Chinese.
QTranslator* install(QObject* owner);

} // namespace uitranslation
