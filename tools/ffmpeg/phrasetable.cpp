#include "phrasetable.h"

namespace ffexe {

namespace {

constexpr protocol::Outcome k_connect = protocol::Outcome::ConnectFailed;
constexpr protocol::Outcome k_rtmp = protocol::Outcome::NoStream;

bool starts_with(std::string_view text, std::string_view head)
{
    return text.substr(0, head.size()) == head;
}

} // namespace

const std::vector<PhraseRule>& phrase_rules()
{
    static const std::vector<PhraseRule> rules = {
        // The server cannot be reached at all.
        {"tcp", "Connection to tcp://", " failed", k_connect},
        {"tcp", "Failed to resolve hostname ", "", k_connect},
        {"rtmp", "Cannot open connection ", "", k_connect},
        {"srt", "Connection to srt://", " failed", k_connect},
        // A TLS server whose certificate does not pass the check (rtmps).
        {"tls", "Peer certificate failed verification", "", protocol::Outcome::Untrusted},
        {"tls", "The certificate's owner does not match hostname", "", protocol::Outcome::Untrusted},
        // The server answers but refuses the address: unknown application,
        // stream already published, not an rtmp server, or a stream that
        // never comes (ends by the read time-out).
        {"rtmp", "Server error: ", "", k_rtmp},
        {"rtmp", "Cannot read RTMP handshake response", "", k_rtmp},
        {"", "rtmp://", ": Input/output error", k_rtmp},
        {"", "rtmps://", ": Input/output error", k_rtmp},
    };
    return rules;
}

std::string_view strip_log_prefix(std::string_view line, std::string_view* source)
{
    // Only "[name @ 0x...] " is a prefix; "[q] command received" is not.
    while (starts_with(line, "[")) {
        const auto close = line.find("] ");
        const auto at = line.find(" @ 0x");
        if (close == std::string_view::npos || at == std::string_view::npos || at > close)
            break;
        if (source)
            *source = line.substr(1, at - 1);
        line.remove_prefix(close + 2);
    }
    return line;
}

std::optional<protocol::Outcome> outcome_for_line(std::string_view line)
{
    std::string_view source;
    const std::string_view text = strip_log_prefix(line, &source);
    for (const PhraseRule& rule : phrase_rules()) {
        if (starts_with(source, rule.source) && starts_with(text, rule.begins) &&
            text.find(rule.contains, std::string_view(rule.begins).size()) != std::string_view::npos)
            return rule.outcome;
    }
    return std::nullopt;
}

std::optional<protocol::Outcome> PhraseFinder::take_line(std::string_view line)
{
    if (m_reported || line.empty())
        return std::nullopt;
    const std::optional<protocol::Outcome> outcome = outcome_for_line(line);
    if (!outcome)
        return std::nullopt;
    m_reported = true;
    // A line that already says it needs no second copy.
    if (line.find(protocol::phrase(*outcome)) != std::string_view::npos)
        return std::nullopt;
    return outcome;
}

} // namespace ffexe
