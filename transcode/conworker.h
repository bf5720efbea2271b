#pragma once

#include "transcode/transcoderoutput.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

// Parameters of one conversion.
struct CWParam
{
    qint32 size_index = 0;
    QString src_path;
    QString dst_path;
    qint32 width = 0;
    qint32 height = 0;
    qint32 bitrate = 0;
    qint32 fps = 0;
    bool use_params = false;
    // Streams that fit the output's container are copied (an option; off, the command line is as ever).
    bool copy_streams = false;
};

// One conversion job: probes its input, runs the transcoder and reports
// progress in whole seconds.
class ConWorker : public QObject
{
    Q_OBJECT
public:
    explicit ConWorker(const CWParam& param);
    ~ConWorker() override;

    void start();
    void stop();
    QString save_path() const;
    // The input's probed duration in whole seconds, 0 when unknown.
    qint64 total() const { return m_total; }
    // The transcoder's last position with its fraction, in seconds.
    double position() const;
    // The transcoder said its output is complete.
    bool succeeded() const { return m_succeeded; }

    // Lets the job run on without its owner: it reports to nobody and deletes
    // itself once its transcoder has ended (at once if none runs).
    void release_when_done();

    // The transcoder's argument list for the job's parameters.
    static QStringList build_arguments(const CWParam& param);

signals:
    void sg_progress(int total, int current);
    void sg_finished(int code);

public slots:
    void slot_readData();
    void slot_stop();

private:
    // Ends the transcoder; with `reportEnd` its end still comes out as sg_finished.
    void end_process(bool reportEnd);

    QProcess* m_process = nullptr;
    qint64 m_total = 0;
    qint64 m_current = 0;
    ProgressFields m_fields;
    CWParam m_param;
    bool m_succeeded = false;
};
