#include "uitranslation.h"

#include "platform/uilanguage.h"
#include "widgets/hostaccess.h"

#include <QCoreApplication>
#include <QTranslator>
#include <QVariant>

namespace uitranslation {

QTranslator* install(QObject* owner)
{
    std::string setting;
    if (EConfig* cfg = host::config())
        setting = cfg->read(platform::language_key).toString().trimmed().toStdString();
    if (platform::ui_language(setting) != platform::UiLanguage::English)
        return nullptr;
    auto* translator = new QTranslator(owner);
    if (!translator->load(QStringLiteral(":/i18n/davaz_en.qm")) || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

} // namespace uitranslation
