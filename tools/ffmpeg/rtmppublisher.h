#pragma once

#include "rtmpwire.h"

#include "protocol/transcoder.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct gnutls_session_int;
struct gnutls_certificate_credentials_st;

namespace ffexe {

// One publishing rtmp or rtmps connection of our own. What it is given goes
// out in as few writes as the socket takes, each message whole with its chunk
// headers: a push to several destinations sends everything several times,
// and a write (and a TLS record) per chunk would make each one cost as much
// as the push itself.
class RtmpPublisher
{
public:
    // `interrupted` is asked while a call waits: true gives the call up.
    explicit RtmpPublisher(std::function<bool()> interrupted);
    ~RtmpPublisher();
    RtmpPublisher(const RtmpPublisher&) = delete;
    RtmpPublisher& operator=(const RtmpPublisher&) = delete;

    // Connects and asks to publish; false with what went wrong in `why`.
    bool open(const std::string& url, bool verify_certificate, protocol::Outcome& why);
    // FLV tags (after the file header), split anywhere; false once the connection is lost.
    bool send_flv(std::string_view tags);
    // Answers what the server has said meanwhile; false once it has closed the connection.
    bool service();
    // Tells the server the stream has ended, and closes.
    void close();

private:
    bool connect_socket(const rtmp::Address& address);
    bool start_tls(const rtmp::Address& address, bool verify, protocol::Outcome& why);
    bool handshake();
    // Reads messages until a command answers `transaction` (or, with 0, a status comes); false on failure.
    bool await(double transaction, rtmp::Command& answer);
    bool answer(const rtmp::Message& message);
    // Adds a command to what flush() sends.
    void queue_command(const std::string& body, int chunk_stream = rtmp::CommandStream, uint32_t stream_id = 0);
    bool flush();
    bool write_all(std::string_view bytes);
    // >0 bytes read, 0 none yet (only when not waiting), <0 closed or failed.
    long read_some(char* buffer, size_t size, bool wait);
    bool read_exactly(char* buffer, size_t size);
    // Waits for the socket to be ready for `events`; false when interrupted.
    bool wait_for(short events);

    std::function<bool()> m_interrupted;
    int m_fd = -1;
    gnutls_session_int* m_tls = nullptr;
    gnutls_certificate_credentials_st* m_credentials = nullptr;
    rtmp::ChunkReader m_reader;
    std::optional<rtmp::FlvToRtmp> m_flv;
    std::string m_out;
    std::string m_stream_name;
    uint32_t m_stream_id = 0;
    bool m_publishing = false;
};

} // namespace ffexe
