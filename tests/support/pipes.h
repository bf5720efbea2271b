#pragma once

#include "namepipe.h"
#include "protocol/contract.h"
#include "protocol/privatefolder.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <pthread.h>

// The two ends of the repair pipe as the tests play them; header-only, for tests that link the pipe.
namespace pipes {

// One message over a connected client; the reply, the error the client reports, or nothing when it has no connection.
inline QByteArray ask(ClientPipe& client, const QByteArray& message)
{
    QByteArray answer;
    client.m_pUser = &answer;
    client.m_pFunc = [](const char* data, int len, std::string& reply, void* user) {
        *static_cast<QByteArray*>(user) = data ? QByteArray(data, len) : QByteArray::fromStdString(reply);
    };
    client.send_msg(message.constData(), true);
    return answer;
}

// One message on a connection of its own, as the repair engine sends a report.
inline QByteArray ask(const char* name, const QByteArray& message, unsigned size = 4096)
{
    ClientPipe client(name, size);
    return ask(client, message);
}

// One report as the repair engine sends it to the repair window; the reply.
inline QString report(const QByteArray& line)
{
    return QString::fromUtf8(ask(protocol::pipe_name, line));
}

// A server that keeps each message (with its terminator) and the thread it
// came on; `reply` answers a message, an empty answer leaves the default.
struct Inbox
{
    QList<QByteArray> got;
    pthread_t thread{};
    std::function<std::string(const QByteArray&)> reply;

    std::unique_ptr<ServicePipe> serve(const char* name, unsigned size = 4096)
    {
        return std::make_unique<ServicePipe>(
            name, size,
            [](const char* data, int len, std::string& reply, void* user) {
                auto* in = static_cast<Inbox*>(user);
                in->got << QByteArray(data, len + 1);
                in->thread = pthread_self();
                const std::string answer = in->reply ? in->reply(in->got.last()) : std::string();
                if (!answer.empty())
                    reply = answer;
            },
            this);
    }
};

} // namespace pipes
