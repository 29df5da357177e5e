#pragma once

#include <map>
#include <memory>
#include <mutex>

#include <QByteArray>
#include <QString>

class QThread;

// An HTTP server on 127.0.0.1 (port chosen by the system) on a thread of its own,
// answering GET requests by path with fixed responses. Nothing reaches beyond the
// loopback address.
class LoopbackPictureServer {
public:
    struct Response {
        QByteArray head;  // status line and header lines, without the blank line
        QByteArray body;
        bool silent = false;  // accept the request and never answer
    };

    LoopbackPictureServer();
    ~LoopbackPictureServer();

    // Routes must be set before requests arrive; unknown paths get 404.
    void route(const QString& path, const Response& response);
    QString url(const QString& path) const;
    int requests(const QString& path) const;
    int totalRequests() const;

    static Response ok(const QByteArray& body, const QByteArray& type, bool withLength = true);
    static Response redirect(const QByteArray& location);

private:
    Response responseFor(const QString& path);

    mutable std::mutex mutex_;
    std::map<QString, Response> routes_;
    std::map<QString, int> requests_;
    quint16 port_ = 0;
    std::unique_ptr<QThread> thread_;
};

// A port on 127.0.0.1 that nothing listens on (taken and released again).
quint16 closedLoopbackPort();
