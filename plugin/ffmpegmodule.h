#pragma once

#include "widgets/hostaccess.h"

class Mp4RPWidget;
class VideoLiveWidget;
class FormatCWidget;
class GrabLiveWidget;

// The plug-in's one module: answers the host's four window messages and owns
// the windows. It adds no meta-object of its own.
class FFMpegModule : public EModule
{
public:
    explicit FFMpegModule(EBase* host);
    ~FFMpegModule() override;

    QVariant recv_msg(const QString& msg, QVariant data) override;
    QString version() override;

    static FFMpegModule* m_inst;

private:
    Mp4RPWidget* m_mp4_widget = nullptr;
    VideoLiveWidget* m_live_widget = nullptr;
    FormatCWidget* m_format_widget = nullptr;
    GrabLiveWidget* m_grab_widget = nullptr;
};

extern "C" FFMpegModule* get_plugin_object(EBase* host);
