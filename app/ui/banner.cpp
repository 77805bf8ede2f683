#include "ui/banner.h"

#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QUrl>

CExplorer1::CExplorer1(QWidget* parent) : QWidget(parent) {
    visibleArea_ = rect();
}

CExplorer1::~CExplorer1() {
    if (reply_ != nullptr) {
        reply_->abort();
    }
}

void CExplorer1::SetVisibleArea(const QRect& area) {
    visibleArea_ = area;
    update();
}

void CExplorer1::SetImage(const QPixmap& image) {
    image_ = image;
    update();
}

void CExplorer1::Navigate(const QString& url) {
    if (network_ == nullptr) {
        network_ = new QNetworkAccessManager(this);
    }
    if (reply_ != nullptr) {
        reply_->abort();
    }
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(kTransferTimeoutMs);
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > kMaxBannerBytes && reply_ != nullptr) {
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::finished, this, &CExplorer1::OnReplyFinished);
}

void CExplorer1::OnReplyFinished() {
    QNetworkReply* reply = qobject_cast<QNetworkReply*>(sender());
    if (reply == nullptr) {
        return;
    }
    reply->deleteLater();
    if (reply != reply_) {
        return;  // an earlier navigation, replaced by a later one
    }
    reply_ = nullptr;
    const QByteArray data =
        reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    const QImage still = QImage::fromData(data);
    if (still.isNull()) {
        emit NavigationFinished(false);
        return;
    }
    movie_.reset();
    movieData_.reset();
    image_ = QPixmap::fromImage(still);

    // An animated banner keeps playing.
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(data);
    buffer->open(QIODevice::ReadOnly);
    QImageReader reader(buffer.get());
    if (reader.supportsAnimation() && reader.imageCount() != 1) {
        buffer->seek(0);
        movieData_ = std::move(buffer);
        movie_ = std::make_unique<QMovie>(movieData_.get());
        connect(movie_.get(), &QMovie::frameChanged, this, [this] {
            image_ = movie_->currentPixmap();
            update();
        });
        movie_->start();
    }
    remote_ = true;
    update();
    emit NavigationFinished(true);
}

void CExplorer1::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(12, 16, 23));
    if (image_.isNull()) {
        return;
    }
    const QSize size = image_.deviceIndependentSize().toSize();
    const QPoint topLeft =
        visibleArea_.topLeft() + QPoint((visibleArea_.width() - size.width()) / 2,
                                        (visibleArea_.height() - size.height()) / 2);
    painter.drawPixmap(topLeft, image_);
}
