#pragma once

#include <functional>
#include <string>

// Which language the windows speak. Their texts are written in Chinese; an
// English translation is loaded on top when the user's language asks for it.
namespace platform {

enum class UiLanguage { Chinese, English };

// The host's setting that forces a language: "en" or "zh"; anything else
// (or nothing stored) follows the system's language.
inline constexpr const char* language_key = "cfg_language";

using EnvLookup = std::function<const char*(const char*)>;

// The language for a stored setting and the locale variables, read the way
// gettext reads them: LC_ALL, LC_MESSAGES, LANG in that order name the locale;
// under the C or POSIX locale LANGUAGE is ignored and the texts stay Chinese;
// otherwise the first en or zh entry of LANGUAGE's list decides, then the
// locale itself. Only English locales switch; any other keeps Chinese.
UiLanguage ui_language(const std::string& setting, const EnvLookup& env);

// The same with the process's own environment.
UiLanguage ui_language(const std::string& setting);

} // namespace platform
