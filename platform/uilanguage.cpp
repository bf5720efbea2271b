#include "uilanguage.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace platform {

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The language part of a locale name: "en" of "en_GB.UTF-8@euro".
std::string language_of(const std::string& locale)
{
    const std::size_t end = locale.find_first_of("_.@-");
    return lower(locale.substr(0, end));
}

std::optional<UiLanguage> known(const std::string& language)
{
    if (language == "en")
        return UiLanguage::English;
    if (language == "zh")
        return UiLanguage::Chinese;
    return std::nullopt;
}

} // namespace

UiLanguage ui_language(const std::string& setting, const EnvLookup& env)
{
    if (const auto forced = known(lower(setting)))
        return *forced;

    auto value = [&env](const char* name) {
        const char* v = env ? env(name) : nullptr;
        return std::string(v ? v : "");
    };
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = value(name);
        if (!locale.empty())
            break;
    }
    const std::string language = language_of(locale);
    if (language.empty() || language == "c" || language == "posix")
        return UiLanguage::Chinese;

    const std::string list = value("LANGUAGE");
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (const auto found = known(language_of(list.substr(start, end - start))))
            return *found;
        start = end + 1;
    }
    return known(language).value_or(UiLanguage::Chinese);
}

UiLanguage ui_language(const std::string& setting)
{
    return ui_language(setting, [](const char* name) -> const char* { return std::getenv(name); });
}

} // namespace platform
