#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <string>
#include <thread>
#include <vector>

#include "hostkit/start_up.h"
#include "hostkit/texts.h"
#include "qt_environment.h"
#include "support/tcp_peer.h"
#include "ui/banner.h"
#include "ui/skin.h"

namespace {

// One HTTP exchange on a loopback listener: records the request head, answers with body.
class OneShotServer {
  public:
    OneShotServer(std::string status, std::string contentType, std::string body)
        : thread_([this, status, contentType, body] {
              TcpConnection peer = listener_.Accept(10000);
              if (!peer.Valid()) {
                  return;
              }
              while (request_.find("\r\n\r\n") == std::string::npos) {
                  const std::string part = peer.Receive(4096, 5000);
                  if (part.empty()) {
                      return;
                  }
                  request_ += part;
              }
              peer.Send("HTTP/1.1 " + status + "\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body);
              peer.Receive(1, 2000);  // until the client closes
          }) {}
    ~OneShotServer() { thread_.join(); }

    uint16_t Port() const { return listener_.Port(); }
    // Read after the exchange.
    const std::string& Request() const { return request_; }

  private:
    TcpListener listener_;
    std::string request_;
    std::thread thread_;
};

std::string PngBytes() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

}  // namespace

TEST(BannerAddress, BuiltInOrFallback) {
    const std::string server =
        BuiltInFileListUrl().substr(0, BuiltInFileListUrl().find("/download"));
    EXPECT_EQ(BuiltInBannerUrl(), server + "/download/qk/tevdownload/qk.gif");
    EXPECT_EQ(BannerAddress(BuiltInBannerUrl(), kPublisherTag, kServiceTag), BuiltInBannerUrl());
    EXPECT_EQ(BannerAddress("", kPublisherTag, kServiceTag),
              server + "/velmor/tevdownload/banner/wistrel/wistrel_Thornquill_tw.gif");
}

TEST(CExplorer1, ShowsTheImageFromTheServer) {
    OneShotServer server("200 OK", "image/png", PngBytes());
    CExplorer1 banner;
    banner.resize(383, 442);
    banner.SetVisibleArea(QRect(12, 17, 342, 396));
    banner.SetImage(DefaultBanner());
    std::vector<bool> finished;
    QObject::connect(&banner, &CExplorer1::NavigationFinished,
                     [&](bool succeeded) { finished.push_back(succeeded); });
    banner.Navigate(
        QStringLiteral("http://127.0.0.1:%1/download/qk/tevdownload/qk.gif").arg(server.Port()));
    ASSERT_TRUE(ProcessEventsUntil([&] { return !finished.empty(); }));
    EXPECT_TRUE(finished.front());
    EXPECT_TRUE(banner.ShowsRemoteImage());
    EXPECT_EQ(server.Request().rfind("GET /download/qk/tevdownload/qk.gif HTTP/1.1\r\n", 0), 0u)
        << server.Request();
    // The image sits in the middle of the visible area.
    const QImage shown = banner.grab().toImage();
    EXPECT_EQ(shown.pixelColor(12 + 171, 17 + 198), QColor(10, 200, 30));
}

TEST(CExplorer1, KeepsTheBuiltInBannerWhenTheServerFails) {
    OneShotServer server("404 Not Found", "text/html", "<html>gone</html>");
    CExplorer1 banner;
    banner.resize(383, 442);
    banner.SetImage(DefaultBanner());
    std::vector<bool> finished;
    QObject::connect(&banner, &CExplorer1::NavigationFinished,
                     [&](bool succeeded) { finished.push_back(succeeded); });
    banner.Navigate(QStringLiteral("http://127.0.0.1:%1/qk.gif").arg(server.Port()));
    ASSERT_TRUE(ProcessEventsUntil([&] { return finished.size() == 1; }));
    EXPECT_FALSE(finished[0]);
    EXPECT_FALSE(banner.ShowsRemoteImage());

    banner.Navigate(QStringLiteral("http://127.0.0.1:%1/qk.gif").arg(UnusedPort()));
    ASSERT_TRUE(ProcessEventsUntil([&] { return finished.size() == 2; }));
    EXPECT_FALSE(finished[1]);
}
