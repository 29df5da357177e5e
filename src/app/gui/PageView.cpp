#include "app/gui/PageView.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>


#include "app/pages/MessageRenderer.h"

namespace talwen {
namespace app {
namespace gui {

namespace {

bool isLocal(const QUrl& url) {
    const QString scheme = url.scheme();
    return scheme == QLatin1String("file") || scheme == QLatin1String("data") || scheme == QLatin1String("about") ||
           scheme == QLatin1String("blob");
}

// Refuses every request the page makes for something that is not a local file.
class LocalOnlyInterceptor : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        if (!isLocal(info.requestUrl())) info.block(true);
    }
};

// Keeps the view on the page we loaded; links go to the system browser.
class ConversationPage : public QWebEnginePage {
public:
    ConversationPage(QWebEngineProfile* profile, QObject* parent) : QWebEnginePage(profile, parent) {}
    QString allowedFile;

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
        if (type != NavigationTypeLinkClicked && isMainFrame && url.isLocalFile() &&
            QFileInfo(url.toLocalFile()) == QFileInfo(allowedFile)) {
            return true;  // our own page (re)loading
        }
        if (type == NavigationTypeLinkClicked && url.fragment().size() > 0 && url.adjusted(QUrl::RemoveFragment) ==
                                                                                   QUrl::fromLocalFile(allowedFile)) {
            return true;  // an anchor inside the page
        }
        if (type == NavigationTypeLinkClicked) QDesktopServices::openUrl(url);
        return false;
    }
    QWebEnginePage* createWindow(WebWindowType) override {
        // A target="_blank" link: a throw-away page whose first navigation goes out.
        auto* page = new ConversationPage(profile(), this);
        connect(page, &QWebEnginePage::urlChanged, page, [page](const QUrl& url) {
            if (!url.isEmpty()) QDesktopServices::openUrl(url);
            page->deleteLater();
        });
        return page;
    }
};

QWebEngineProfile* conversationProfile() {
    // Off the record: nothing the pages do is kept on disk.
    static QWebEngineProfile* profile = [] {
        auto* p = new QWebEngineProfile(qApp);
        p->setUrlRequestInterceptor(new LocalOnlyInterceptor(p));
        return p;
    }();
    return profile;
}

}  // namespace

WebPageView::WebPageView(QWidget* parent) : PageView(parent), view_(new QWebEngineView(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    auto* page = new ConversationPage(conversationProfile(), view_);
    QWebEngineSettings* settings = page->settings();
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    view_->setPage(page);
    // The load-earlier link is an anchor of the page: following it changes only the
    // page's fragment, which no navigation check sees, but the address does change.
    connect(page, &QWebEnginePage::urlChanged, this, [this](const QUrl& url) {
        const QString anchor = QLatin1Char('#') + url.fragment(QUrl::FullyDecoded);
        if (anchor.startsWith(QLatin1String(kEarlierLinkPrefix))) emit earlierRequested(anchor);
    });
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    connect(view_, &QWebEngineView::loadFinished, this, &PageView::pageShown);
}

void WebPageView::showPage(const QString& pageFile) {
    pageFile_ = pageFile;
    static_cast<ConversationPage*>(view_->page())->allowedFile = pageFile;
    view_->load(QUrl::fromLocalFile(pageFile));
}

void WebPageView::runScript(const QString& script) { view_->page()->runJavaScript(script); }

void WebPageView::clearPage() {
    pageFile_.clear();
    view_->setHtml(QString());
}

PlainPageView::PlainPageView(QWidget* parent) : PageView(parent), label_(new QLabel(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label_);
    label_->setAlignment(Qt::AlignCenter);
    label_->setWordWrap(true);
}

void PlainPageView::showPage(const QString& pageFile) {
    pageFile_ = pageFile;
    label_->setText(pageFile);
    emit pageShown(true);
}

void PlainPageView::clearPage() {
    pageFile_.clear();
    label_->clear();
}

}  // namespace gui
}  // namespace app
}  // namespace talwen
