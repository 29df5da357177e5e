// The conversation view's web engine on a display (Xvfb in the tests): our page
// shows, its links go to the system browser, scripts cannot navigate it away, and
// nothing is fetched from the network, even from a server on this machine.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/gui/GuiTestSupport.h"
#include <QStringList>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <functional>
#include <memory>

#include "app/gui/PageView.h"
#include "app/gui/web/UrlCatcher.h"

using talwen::app::gui::WebPageView;

namespace {

class WebEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        guitest::startApplication("gui_web_tests");
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WebEnvironment);

bool waitUntil(const std::function<bool()>& ready, int timeoutMs = 30000) {
    return guitest::waitUntil(ready, timeoutMs);
}

QVariant runScript(QWebEnginePage* page, const QString& script) {
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done; })) << script.toStdString();
    return result;
}

}  // namespace

TEST(WebPageView, ShowsOurPageSendsLinksOutAndLoadsNothingRemote) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    int connections = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            ++connections;
            socket->close();
        }
    });
    const QString remote = QString("http://127.0.0.1:%1/").arg(server.serverPort());

    QTemporaryDir dir;
    const QString pagePath = dir.path() + "/index.html";
    QFile page(pagePath);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write(QString("<html><head><meta charset=\"utf-8\"><script src=\"%1s.js\"></script></head><body>"
                       "<p id=\"m\">你好</p><img src=\"%1x.png\"><iframe src=\"%1frame\"></iframe>"
                       "<a id=\"out\" href=\"https://example.org/x\">link</a></body></html>")
                   .arg(remote)
                   .toUtf8());
    page.close();

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("https", &catcher, "open");
    WebPageView view;
    view.resize(600, 400);
    view.show();
    bool shown = false;
    QObject::connect(&view, &WebPageView::pageShown, [&](bool) { shown = true; });
    view.showPage(pagePath);
    ASSERT_TRUE(waitUntil([&] { return shown; }));
    QWebEnginePage* webPage = view.view()->page();
    EXPECT_EQ(QString("你好"), runScript(webPage, "document.getElementById('m').textContent").toString());

    // A link goes to the system browser; the view stays on our page.
    runScript(webPage, "document.getElementById('out').click(); true");
    ASSERT_TRUE(waitUntil([&] { return !catcher.opened.isEmpty(); }));
    EXPECT_EQ(QUrl("https://example.org/x"), catcher.opened.first());
    // A script may not navigate the view anywhere else.
    runScript(webPage, QString("window.location.href = '%1away'; true").arg(remote));
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(QUrl::fromLocalFile(pagePath), webPage->url());
    EXPECT_EQ(QString("你好"), runScript(webPage, "document.getElementById('m').textContent").toString());
    EXPECT_EQ(0, connections);
    QDesktopServices::unsetUrlHandler("https");
}

// The load-earlier link of a long conversation reaches the window as a request;
// the view stays on the page and hands nothing to the system browser.
TEST(WebPageView, TheLoadEarlierLinkIsARequestNotANavigation) {
    QTemporaryDir dir;
    const QString pagePath = dir.path() + "/index.html";
    QFile page(pagePath);
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("<html><body><a id=\"earlier\" href=\"#wcr-earlier:1420070400/17\">more</a>"
               "<p id=\"m\">x</p></body></html>");
    page.close();
    WebPageView view;
    view.resize(400, 300);
    view.show();
    bool shown = false;
    QObject::connect(&view, &WebPageView::pageShown, [&](bool) { shown = true; });
    QStringList requested;
    QObject::connect(&view, &WebPageView::earlierRequested, [&](const QString& link) { requested << link; });
    view.showPage(pagePath);
    ASSERT_TRUE(waitUntil([&] { return shown; }));
    QWebEnginePage* webPage = view.view()->page();
    runScript(webPage, "document.getElementById('earlier').click(); true");
    ASSERT_TRUE(waitUntil([&] { return !requested.isEmpty(); }));
    EXPECT_EQ(QStringList{"#wcr-earlier:1420070400/17"}, requested);
    EXPECT_EQ(QUrl::fromLocalFile(pagePath), webPage->url().adjusted(QUrl::RemoveFragment));
    // Our own script runs in the page shown.
    view.runScript("document.getElementById('m').textContent = 'earlier ones';");
    EXPECT_TRUE(waitUntil([&] { return runScript(webPage, "document.getElementById('m').textContent").toString() ==
                                       "earlier ones"; }));
}
