#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the system browser: collects the addresses it is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};
