#include "ffmpegmodule.h"

#include "rsrc/formatcwidget/formatcwidget.h"
#include "rsrc/grablivewidget.h"
#include "rsrc/mp4rpwidget.h"
#include "rsrc/uitranslation.h"
#include "rsrc/videolivewidget.h"

#include <QDebug>

FFMpegModule* FFMpegModule::m_inst = nullptr;

extern "C" FFMpegModule* get_plugin_object(EBase* host)
{
    if (FFMpegModule::m_inst) {
        g_base = FFMpegModule::m_inst;
        return FFMpegModule::m_inst;
    }
    FFMpegModule::m_inst = new FFMpegModule(host);
    g_base = FFMpegModule::m_inst;
    return FFMpegModule::m_inst;
}

FFMpegModule::FFMpegModule(EBase* host)
    : EModule(host)
{
    g_base = this;
    // Before any window exists, so every text is built in the chosen language;
    // the translator goes with the module, after the windows.
    uitranslation::install(this);
}

namespace {

template<typename W>
void release(W*& window)
{
    delete window;
    window = nullptr;
}

} // namespace

FFMpegModule::~FFMpegModule()
{
    qDebug().noquote().nospace() << "FFMpegModule release start < ";
    release(m_live_widget);
    release(m_mp4_widget);
    release(m_format_widget);
    release(m_grab_widget);
    qDebug().noquote().nospace() << "FFMpegModule release okay  > \n";
    // A later get_plugin_object builds a fresh module instead of returning a dead one.
    if (m_inst == this)
        m_inst = nullptr;
    if (g_base == this)
        g_base = nullptr;
}

namespace {

template<typename W>
void show_window(W*& window)
{
    if (!window)
        window = new W(nullptr);
    window->setVisible(false);
    window->showNormal();
    window->activateWindow();
}

} // namespace

QVariant FFMpegModule::recv_msg(const QString& msg, QVariant)
{
    if (msg == QLatin1String("msg_show_mp4wd")) {
        show_window(m_mp4_widget);
    } else if (msg == QLatin1String("msg_show_movielive")) {
        show_window(m_live_widget);
    } else if (msg == QLatin1String("msg_show_tranformat")) {
        show_window(m_format_widget);
    } else if (msg == QLatin1String("msg_show_grablive")) {
        show_window(m_grab_widget);
    } else {
        return QVariant(false);
    }
    return QVariant(true);
}

QString FFMpegModule::version()
{
    return QStringLiteral("1.0.0");
}
