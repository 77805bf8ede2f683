// The banner: an image fetched from the download server, shown in the window's banner hole. The
// built-in banner stays when the address cannot be fetched.
#pragma once

#include <QBuffer>
#include <QMovie>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

class CExplorer1 : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kTransferTimeoutMs = 15000;
    static constexpr qint64 kMaxBannerBytes = 8 * 1024 * 1024;

    explicit CExplorer1(QWidget* parent = nullptr);
    ~CExplorer1() override;

    // The part of the control the window's frame leaves visible; images are centred in it.
    void SetVisibleArea(const QRect& area);
    void SetImage(const QPixmap& image);
    void Navigate(const QString& url);
    // True once an image from the network is shown.
    bool ShowsRemoteImage() const { return remote_; }

  signals:
    void NavigationFinished(bool succeeded);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void OnReplyFinished();

    QNetworkAccessManager* network_ = nullptr;
    QPointer<QNetworkReply> reply_;
    QPixmap image_;
    std::unique_ptr<QBuffer> movieData_;
    std::unique_ptr<QMovie> movie_;
    QRect visibleArea_;
    bool remote_ = false;
};
