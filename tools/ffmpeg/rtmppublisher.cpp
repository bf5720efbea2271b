#include "rtmppublisher.h"

#include <gnutls/gnutls.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace ffexe {

namespace {

constexpr size_t k_chunk_size = 4096;
constexpr size_t k_handshake = 1536;
constexpr uint8_t k_version = 3;
constexpr int k_poll_ms = 100; // how often a wait asks whether it is given up
constexpr auto k_goodbye = std::chrono::seconds(1);
constexpr uint16_t k_ping_request = 6;
constexpr uint16_t k_ping_response = 7;

std::string be32(uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

bool is_ip(const std::string& host)
{
    unsigned char any[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), any) == 1 || inet_pton(AF_INET6, host.c_str(), any) == 1;
}

// A command: its name, its transaction, a null, then `args` (already AMF0).
std::string command_body(const char* name, double transaction, const std::string& args = {})
{
    std::string body;
    rtmp::amf::string(body, name);
    rtmp::amf::number(body, transaction);
    rtmp::amf::null(body);
    return body + args;
}

// The connection's first command: which application, as an encoder names itself.
std::string connect_body(const rtmp::Address& address)
{
    std::string body;
    rtmp::amf::string(body, "connect");
    rtmp::amf::number(body, 1);
    rtmp::amf::object_begin(body);
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"app", address.app},
                                      {"type", "nonprivate"},
                                      {"flashVer", "FMLE/3.0 (compatible; FMSc/1.0)"},
                                      {"tcUrl", address.tc_url}}) {
        rtmp::amf::key(body, name);
        rtmp::amf::string(body, value);
    }
    rtmp::amf::object_end(body);
    return body;
}

bool is_refusal(const rtmp::Command& command)
{
    if (command.name == "_error")
        return true;
    const auto level = command.fields.find("level");
    return command.name == "onStatus" && level != command.fields.end() && level->second == "error";
}

} // namespace

RtmpPublisher::RtmpPublisher(std::function<bool()> interrupted)
    : m_interrupted(std::move(interrupted))
{}

RtmpPublisher::~RtmpPublisher()
{
    if (m_tls)
        gnutls_deinit(m_tls);
    if (m_credentials)
        gnutls_certificate_free_credentials(m_credentials);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RtmpPublisher::open(const std::string& url, bool verify_certificate, protocol::Outcome& why)
{
    const std::optional<rtmp::Address> address = rtmp::parse_address(url);
    why = protocol::Outcome::UnknownAddress;
    if (!address)
        return false;
    why = protocol::Outcome::ConnectFailed;
    if (!connect_socket(*address))
        return false;
    if (address->tls && !start_tls(*address, verify_certificate, why))
        return false;
    why = protocol::Outcome::NoStream;
    if (!handshake())
        return false;
    m_stream_name = address->stream;
    std::string name;
    rtmp::amf::string(name, m_stream_name);
    rtmp::Command answer;
    m_out.clear();
    rtmp::put_message(m_out, rtmp::ControlStream, rtmp::SetChunkSize, 0, 0, be32(k_chunk_size), 128);
    queue_command(connect_body(*address));
    if (!flush() || !await(1, answer) || is_refusal(answer))
        return false;
    queue_command(command_body("releaseStream", 2, name));
    queue_command(command_body("FCPublish", 3, name));
    queue_command(command_body("createStream", 4));
    answer = {};
    if (!flush() || !await(4, answer) || is_refusal(answer))
        return false;
    m_stream_id = answer.numbers.empty() ? 1 : uint32_t(answer.numbers.front());
    std::string kind;
    rtmp::amf::string(kind, "live");
    queue_command(command_body("publish", 5, name + kind), rtmp::PublishStream, m_stream_id);
    answer = {};
    if (!flush() || !await(0, answer) || answer.fields["code"] != "NetStream.Publish.Start")
        return false;
    m_publishing = true;
    m_flv.emplace(m_stream_id, k_chunk_size);
    return true;
}

bool RtmpPublisher::connect_socket(const rtmp::Address& address)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0)
        return false;
    int error = 0;
    for (const addrinfo* at = found; at && m_fd < 0; at = at->ai_next) {
        m_fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (m_fd < 0) {
            error = errno;
            continue;
        }
        error = ::connect(m_fd, at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            socklen_t size = sizeof error;
            error = wait_for(POLLOUT) ? 0 : ETIMEDOUT;
            if (!error && ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
        }
        if (error) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    freeaddrinfo(found);
    if (m_fd < 0)
        return false;
    // Each write is a whole batch of messages: nothing is gained by holding it back.
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool RtmpPublisher::start_tls(const rtmp::Address& address, bool verify, protocol::Outcome& why)
{
    why = protocol::Outcome::NoStream;
    if (gnutls_certificate_allocate_credentials(&m_credentials) < 0 ||
        gnutls_init(&m_tls, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0) {
        return false;
    }
    // The trusted authorities are read only when a certificate is checked: reading them costs tens of milliseconds.
    if (verify)
        gnutls_certificate_set_x509_system_trust(m_credentials);
    gnutls_set_default_priority(m_tls);
    gnutls_credentials_set(m_tls, GNUTLS_CRD_CERTIFICATE, m_credentials);
    if (!is_ip(address.host))
        gnutls_server_name_set(m_tls, GNUTLS_NAME_DNS, address.host.data(), address.host.size());
    if (verify)
        gnutls_session_set_verify_cert(m_tls, address.host.c_str(), 0);
    gnutls_transport_set_int(m_tls, m_fd);
    int code;
    do {
        code = gnutls_handshake(m_tls);
        if ((code == GNUTLS_E_AGAIN || code == GNUTLS_E_INTERRUPTED) &&
            !wait_for(gnutls_record_get_direction(m_tls) ? POLLOUT : POLLIN))
            return false;
    } while (code < 0 && !gnutls_error_is_fatal(code));
    if (code >= 0)
        return true;
    if (code == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR)
        why = protocol::Outcome::Untrusted;
    return false;
}

bool RtmpPublisher::handshake()
{
    // The plain handshake: a version, then 1536 bytes each way, each side echoing the other's.
    std::string hello(1 + k_handshake, '\0');
    hello[0] = char(k_version);
    std::minstd_rand noise(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (size_t i = 9; i < hello.size(); ++i)
        hello[i] = char(noise());
    std::string reply(1 + 2 * k_handshake, '\0');
    if (!write_all(hello) || !read_exactly(reply.data(), reply.size()) || uint8_t(reply[0]) != k_version)
        return false;
    return write_all(std::string_view(reply).substr(1, k_handshake));
}

bool RtmpPublisher::await(double transaction, rtmp::Command& answer)
{
    std::vector<rtmp::Message> messages;
    char buffer[4096];
    for (;;) {
        for (const rtmp::Message& message : messages) {
            if (!this->answer(message))
                return false;
            if (message.type != rtmp::CommandAmf0)
                continue;
            const std::optional<rtmp::Command> command = rtmp::read_command(message.body);
            if (!command)
                continue;
            const bool result = command->name == "_result" || command->name == "_error";
            if ((transaction > 0 && result && command->transaction == transaction) ||
                (transaction == 0 && command->name == "onStatus")) {
                answer = *command;
                return true;
            }
        }
        messages.clear();
        const long got = read_some(buffer, sizeof buffer, true);
        if (got < 0 || !m_reader.feed(std::string_view(buffer, size_t(got)), messages))
            return false;
    }
}

bool RtmpPublisher::answer(const rtmp::Message& message)
{
    if (message.type == rtmp::UserControl && message.body.size() >= 6 && message.body[0] == 0 &&
        uint8_t(message.body[1]) == k_ping_request) {
        std::string pong{0, char(k_ping_response)};
        pong += message.body.substr(2, 4);
        rtmp::put_message(m_out, rtmp::ControlStream, rtmp::UserControl, 0, 0, pong, k_chunk_size);
        return flush();
    }
    if (m_publishing && message.type == rtmp::CommandAmf0) {
        // A server that stops taking the stream says so before it closes.
        const std::optional<rtmp::Command> command = rtmp::read_command(message.body);
        return !command || !is_refusal(*command);
    }
    return true;
}

void RtmpPublisher::queue_command(const std::string& body, int chunk_stream, uint32_t stream_id)
{
    rtmp::put_message(m_out, chunk_stream, rtmp::CommandAmf0, 0, stream_id, body, k_chunk_size);
}

bool RtmpPublisher::flush()
{
    const bool sent = write_all(m_out);
    m_out.clear();
    return sent;
}

bool RtmpPublisher::send_flv(std::string_view tags)
{
    m_flv->feed(tags, m_out);
    return flush();
}

bool RtmpPublisher::service()
{
    char buffer[4096];
    std::vector<rtmp::Message> messages;
    long got;
    while ((got = read_some(buffer, sizeof buffer, false)) > 0) {
        if (!m_reader.feed(std::string_view(buffer, size_t(got)), messages))
            return false;
        for (const rtmp::Message& message : messages) {
            if (!answer(message))
                return false;
        }
        messages.clear();
    }
    return got == 0;
}

void RtmpPublisher::close()
{
    if (m_fd < 0)
        return;
    if (m_publishing) {
        std::string name;
        rtmp::amf::string(name, m_stream_name);
        std::string id;
        rtmp::amf::number(id, m_stream_id);
        queue_command(command_body("FCUnpublish", 6, name));
        queue_command(command_body("deleteStream", 7, id));
        m_publishing = false;
        if (flush()) {
            // Closed only once the server has closed its side: a socket closed with
            // something still unread is reset, and the server may lose the stream's end.
            if (m_tls)
                gnutls_bye(m_tls, GNUTLS_SHUT_WR);
            ::shutdown(m_fd, SHUT_WR);
            const auto until = std::chrono::steady_clock::now() + k_goodbye;
            char buffer[4096];
            while (std::chrono::steady_clock::now() < until && !m_interrupted()) {
                pollfd fd{m_fd, POLLIN, 0};
                if (::poll(&fd, 1, k_poll_ms) > 0 && ::recv(m_fd, buffer, sizeof buffer, 0) <= 0)
                    break;
            }
        }
    }
    ::close(m_fd);
    m_fd = -1;
}

bool RtmpPublisher::write_all(std::string_view bytes)
{
    while (!bytes.empty()) {
        const long sent = m_tls ? long(gnutls_record_send(m_tls, bytes.data(), bytes.size()))
                                : long(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
        if (sent > 0) {
            bytes.remove_prefix(size_t(sent));
            continue;
        }
        const bool again = m_tls ? (sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED)
                                 : (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
        if (!again || !wait_for(POLLOUT))
            return false;
    }
    return true;
}

long RtmpPublisher::read_some(char* buffer, size_t size, bool wait)
{
    for (;;) {
        const long got = m_tls ? long(gnutls_record_recv(m_tls, buffer, size)) : long(::recv(m_fd, buffer, size, 0));
        if (got > 0)
            return got;
        if (got == 0)
            return -1;
        const bool again =
            m_tls ? (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED || !gnutls_error_is_fatal(int(got)))
                  : (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        if (!again)
            return -1;
        if (!wait)
            return 0;
        if (!wait_for(POLLIN))
            return -1;
    }
}

bool RtmpPublisher::read_exactly(char* buffer, size_t size)
{
    for (size_t at = 0; at < size;) {
        const long got = read_some(buffer + at, size - at, true);
        if (got < 0)
            return false;
        at += size_t(got);
    }
    return true;
}

bool RtmpPublisher::wait_for(short events)
{
    for (;;) {
        if (m_interrupted())
            return false;
        pollfd fd{m_fd, events, 0};
        const int ready = ::poll(&fd, 1, k_poll_ms);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace ffexe
