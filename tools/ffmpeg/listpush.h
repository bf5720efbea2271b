#pragma once

#include "childlog.h"
#include "childprocess.h"
#include "entryclock.h"
#include "face.h"
#include "fanout.h"
#include "flvtags.h"
#include "outputwriter.h"
#include "progressrecord.h"
#include "tagretimer.h"

#include "protocol/command.h"

#include <memory>
#include <string>
#include <vector>

namespace ffexe {

// A push of a whole play list over one rtmp connection. One ffmpeg (the
// publisher) reads FLV on its standard input at its own rate and sends it on;
// for each entry another ffmpeg (the reader) writes the entry's streams, copied,
// as FLV, and we pass its bytes on without the file header that only the
// first may have. The publisher reads the entries as one live stream: their
// time stamps, each from zero, are evened out to run on (TagRetimer), and a
// new sequence header (another picture size, another AAC set-up) goes out as
// it comes. The window names each entry after the first when asked (entry
// records, protocol/transcoder.h; answers, protocol/command.h). To several
// destinations at once the publisher writes FLV to us, and we send it on (FanOut).
std::vector<std::string> publisher_args(const protocol::PushCommand& push);
// `from`: seconds into the entry, or empty. With `silence` the entry, which
// has no sound of its own, gets a silent one (see ListPush::m_silence).
std::vector<std::string> reader_args(const std::string& path, const std::string& from, bool in_band = true,
                                     bool silence = false);

class ListPush : public Face
{
public:
    ListPush(std::string program, protocol::PushCommand push, long long timeout_us);
    int run() override;

private:
    void start_reader(const std::string& path, const std::string& from, bool in_band = true, bool silence = false);
    void reader_done();
    // Why the entry could not be read, worded so that the window never takes it for a failure of the push.
    std::string reader_failure(int code) const;
    // Asks the window for the next entry once the publisher is near enough to it.
    void ask_when_due();
    void read_answer();
    void read_publisher_progress();
    void read_reader_output();
    void read_reader_progress();
    void write_to_publisher();
    void read_publisher_output();

    std::string m_program;
    protocol::PushCommand m_push;
    OutputWriter m_out;
    ChildProcess m_publisher;
    ChildLog m_publisher_log;
    std::unique_ptr<ChildProcess> m_reader;
    std::unique_ptr<ChildLog> m_reader_log;
    std::unique_ptr<HeaderCut> m_cut;
    TagRetimer m_retimer;
    ProgressParser m_publisher_progress, m_reader_progress;
    std::string m_reader_said; // the reader's first complaint
    std::string m_reader_path, m_reader_from;
    bool m_in_band = true;
    // The publisher's streams are those it finds as it starts: an entry
    // without sound goes out with silence, so that the sound of any entry after
    // it still has a stream to go in, and the sound never pauses.
    bool m_silence = false;
    bool m_again_with_silence = false; // the reader is ended to start again with silence
    EntryClock m_clock;
    long long m_entry = 0; // the entry being read
    std::string m_pending; // read, not yet taken by the publisher
    std::string m_answer;  // the window's answer so far
    bool m_want = false;   // the next entry is to be asked for
    bool m_asking = false; // waiting for the window to name the next entry
    long long m_published_us = 0;
    bool m_list_done = false;      // no more entries: the publisher ends with what it has
    std::unique_ptr<FanOut> m_fan; // several destinations
    bool m_input_open = true;
};

} // namespace ffexe
