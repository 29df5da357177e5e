#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

class QLabel;
class QWebEngineView;

namespace talwen {
namespace app {
namespace gui {

// The conversation view (SubWebView): shows the page file the viewer wrote.
class PageView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void showPage(const QString& pageFile) = 0;
    virtual void clearPage() = 0;
    // Runs one of our own scripts in the page shown (nothing without a web engine).
    virtual void runScript(const QString& /*script*/) {}
    const QString& pageFile() const { return pageFile_; }

signals:
    // The page has been shown (loaded, for the web view).
    void pageShown(bool ok);
    // The page's load-earlier link was followed ("#wcr-earlier:..."); the view
    // stays on the page.
    void earlierRequested(const QString& link);

protected:
    QString pageFile_;
};

// The web view: our own page only. Every navigation away from the page directory
// (a link, a script, a form) opens in the system browser instead, and requests for
// anything but local files are refused, so a message cannot make the view load a
// remote page or script.
class WebPageView : public PageView {
    Q_OBJECT
public:
    explicit WebPageView(QWidget* parent = nullptr);
    void showPage(const QString& pageFile) override;
    void clearPage() override;
    void runScript(const QString& script) override;
    QWebEngineView* view() const { return view_; }

private:
    QWebEngineView* view_;
};

// A stand-in without the web engine, for screens that cannot start it (the
// offscreen platform of the tests): it only records the page it was given.
class PlainPageView : public PageView {
    Q_OBJECT
public:
    explicit PlainPageView(QWidget* parent = nullptr);
    void showPage(const QString& pageFile) override;
    void clearPage() override;

private:
    QLabel* label_;
};

}  // namespace gui
}  // namespace app
}  // namespace talwen
