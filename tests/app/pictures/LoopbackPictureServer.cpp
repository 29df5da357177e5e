#include "app/pictures/LoopbackPictureServer.h"

#include <functional>
#include <future>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

using Responder = std::function<LoopbackPictureServer::Response(const QString& path)>;

// Serves one response per connection, then closes it.
class Server : public QObject {
public:
    explicit Server(Responder responder) : responder_(std::move(responder)) {
        connect(&server_, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { serve(socket); });
            }
        });
    }
    quint16 listen() { return server_.listen(QHostAddress::LocalHost, 0) ? server_.serverPort() : 0; }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& request = pending_[socket];
        request += socket->readAll();
        if (request.indexOf("\r\n\r\n") < 0) return;
        const QList<QByteArray> first = request.left(request.indexOf("\r\n")).split(' ');
        const QString path = first.size() >= 2 ? QString::fromLatin1(first[1]) : QString();
        pending_.erase(socket);
        const LoopbackPictureServer::Response response = responder_(path);
        if (response.silent) return;
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket]() {
            if (socket->bytesToWrite() == 0) socket->disconnectFromHost();
        });
        socket->write(response.head + "\r\nConnection: close\r\n\r\n" + response.body);
    }

    Responder responder_;
    QTcpServer server_;  // owns the sockets
    std::map<QTcpSocket*, QByteArray> pending_;
};

// The server lives and dies on this thread.
class ServerThread : public QThread {
public:
    ServerThread(Responder responder, std::promise<quint16>* listening)
        : responder_(std::move(responder)), listening_(listening) {}

protected:
    void run() override {
        Server server(responder_);
        listening_->set_value(server.listen());
        exec();
    }

private:
    Responder responder_;
    std::promise<quint16>* listening_;
};

}  // namespace

LoopbackPictureServer::LoopbackPictureServer() {
    std::promise<quint16> listening;
    std::future<quint16> port = listening.get_future();
    thread_.reset(new ServerThread([this](const QString& path) { return responseFor(path); }, &listening));
    thread_->start();
    port_ = port.get();
}

LoopbackPictureServer::~LoopbackPictureServer() {
    thread_->quit();
    thread_->wait();
}

void LoopbackPictureServer::route(const QString& path, const Response& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = response;
}

QString LoopbackPictureServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path);
}

int LoopbackPictureServer::requests(const QString& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = requests_.find(path);
    return it == requests_.end() ? 0 : it->second;
}

int LoopbackPictureServer::totalRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& item : requests_) total += item.second;
    return total;
}

LoopbackPictureServer::Response LoopbackPictureServer::responseFor(const QString& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[path];
    auto it = routes_.find(path);
    if (it == routes_.end()) return Response{"HTTP/1.1 404 Not Found\r\nContent-Length: 0", QByteArray(), false};
    return it->second;
}

LoopbackPictureServer::Response LoopbackPictureServer::ok(const QByteArray& body, const QByteArray& type,
                                                          bool withLength) {
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + type;
    if (withLength) head += "\r\nContent-Length: " + QByteArray::number(body.size());
    return Response{head, body, false};
}

LoopbackPictureServer::Response LoopbackPictureServer::redirect(const QByteArray& location) {
    return Response{"HTTP/1.1 302 Found\r\nContent-Length: 0\r\nLocation: " + location, QByteArray(), false};
}

quint16 closedLoopbackPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}
