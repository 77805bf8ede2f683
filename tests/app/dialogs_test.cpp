#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <chrono>
#include <cstdlib>
#include <functional>

#include "hostkit/format.h"
#include "hostkit/start_up.h"
#include "hostkit/texts.h"
#include "qt_environment.h"
#include "ui/dialogs.h"

namespace {

// Runs act on the next modal dialog once it is open (bounded), as a person would.
void WhenModalOpens(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    auto waited = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, waited, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && ++*waited < 500) {
            return;
        }
        poll->stop();
        poll->deleteLater();
        if (modal != nullptr) {
            act(modal);
        }
    });
    poll->start(10);
}

QString Home() {
    return QString::fromLocal8Bit(std::getenv("HOME"));
}

}  // namespace

TEST(CQtMessageBoxes, CaptionsTextsButtonsAndAnswers) {
    QWidget window;
    window.show();
    CQtMessageBoxes boxes(&window);

    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenModalOpens([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        EXPECT_EQ(box->parentWidget(), &window);
        box->button(QMessageBox::No)->click();
    });
    const MessageAnswer answer = boxes.Show(CMessage::Window(
        FormatText(kTextCloseWithJob, kGameName), MessageButtons::YesNo, MessageIcon::Information));
    EXPECT_EQ(answer, MessageAnswer::No);
    EXPECT_EQ(caption, QStringLiteral("QK"));
    EXPECT_EQ(text, QString::fromUtf8("關閉視窗時，即會中止下載 QK\n確定要關閉視窗嗎？"));
    EXPECT_EQ(icon, QMessageBox::Information);

    // An application message stands alone; Escape answers its only button.
    WhenModalOpens([&](QWidget* modal) {
        caption = modal->windowTitle();
        EXPECT_EQ(modal->parentWidget(), nullptr);
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(modal, &escape);
    });
    EXPECT_EQ(boxes.Show(CMessage::Application(kTextNotFinished)), MessageAnswer::Ok);
    EXPECT_EQ(caption, QString::fromStdString(ApplicationName()));

    // Escape on a Yes/No question means No.
    WhenModalOpens([](QWidget* modal) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(modal, &escape);
    });
    EXPECT_EQ(boxes.Show(CMessage::Application(kTextAgreementQuestion, MessageButtons::YesNo,
                                               MessageIcon::Information)),
              MessageAnswer::No);
}

TEST(CQtFolderChooser, PreselectsShowsTheTitleAndFollowsTheSelection) {
    ASSERT_TRUE(QDir().mkpath(Home() + "/games/QK"));
    QWidget window;
    window.setWindowTitle(QString::fromUtf8(kMainWindowTitle));
    window.show();
    CQtFolderChooser chooser(&window);

    CFolderRequest request;
    request.title = FormatText(kTextFolderTitle, "1.00 GB");
    request.initialFolder = (Home() + "/games/QK/").toStdString();
    request.statusText = [](const std::string& folder) { return "free in " + folder; };

    QString preselected;
    QStringList labels;
    QString statusAfterMove;
    WhenModalOpens([&](QWidget* modal) {
        auto* tree = modal->findChild<QTreeView*>();
        auto* model = qobject_cast<QFileSystemModel*>(tree->model());
        preselected = model->filePath(tree->currentIndex());
        for (const QLabel* label : modal->findChildren<QLabel*>()) {
            labels << label->text();
        }
        tree->setCurrentIndex(model->index(Home() + "/games"));
        for (const QLabel* label : modal->findChildren<QLabel*>()) {
            if (label->text().startsWith(QStringLiteral("free in"))) {
                statusAfterMove = label->text();
            }
        }
        modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    const std::optional<std::string> chosen = chooser.ChooseFolder(request);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, (Home() + "/games").toStdString());
    EXPECT_EQ(preselected, Home() + "/games/QK");
    EXPECT_TRUE(labels.contains(QString::fromUtf8("至少需要 1.00 GB 容量。")));
    EXPECT_TRUE(labels.contains("free in " + Home() + "/games/QK"));
    EXPECT_EQ(statusAfterMove, "free in " + Home() + "/games");

    // Cancelling chooses nothing; a folder that does not exist yet opens at its parent.
    request.initialFolder = (Home() + "/games/QK/later/").toStdString();
    WhenModalOpens([&](QWidget* modal) {
        auto* tree = modal->findChild<QTreeView*>();
        preselected =
            qobject_cast<QFileSystemModel*>(tree->model())->filePath(tree->currentIndex());
        modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    });
    EXPECT_FALSE(chooser.ChooseFolder(request).has_value());
    EXPECT_EQ(preselected, Home() + "/games/QK");
}

TEST(CQtFolderChooser, HasItsOwnCaptionAndScrollsThePreselectedFolderIntoView) {
    // Enough sibling folders before it that the preselected one starts out of view.
    for (int i = 0; i < 80; ++i) {
        ASSERT_TRUE(QDir().mkpath(Home() + QString("/many/a%1").arg(i, 2, 10, QChar('0'))));
    }
    ASSERT_TRUE(QDir().mkpath(Home() + "/many/zz-QK"));
    QWidget window;
    window.setWindowTitle(QString::fromUtf8(kMainWindowTitle));
    window.show();
    CQtFolderChooser chooser(&window);
    CFolderRequest request;
    request.title = FormatText(kTextFolderTitle, "1.00 GB");
    request.initialFolder = (Home() + "/many/zz-QK/").toStdString();

    QString caption;
    QString preselected;
    bool visible = false;
    WhenModalOpens([&](QWidget* modal) {
        caption = modal->windowTitle();
        auto* tree = modal->findChild<QTreeView*>();
        auto* model = qobject_cast<QFileSystemModel*>(tree->model());
        // The tree fills in the background; wait (bounded) until the folder shows.
        visible = ProcessEventsUntil(
            [&] {
                const QRect place = tree->visualRect(tree->currentIndex());
                return model->rowCount(model->index(Home() + "/many")) == 81 && !place.isEmpty() &&
                       tree->viewport()->rect().contains(place);
            },
            std::chrono::seconds(10));
        preselected = model->filePath(tree->currentIndex());
        modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    });
    EXPECT_FALSE(chooser.ChooseFolder(request).has_value());
    EXPECT_EQ(caption, QString::fromUtf8(kTextFolderChooserCaption));
    EXPECT_NE(caption, window.windowTitle()) << "activation looks for the window by its title";
    EXPECT_EQ(preselected, Home() + "/many/zz-QK");
    EXPECT_TRUE(visible) << "the preselected folder stays out of view";
}
