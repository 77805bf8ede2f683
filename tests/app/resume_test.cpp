#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "hostkit/texts.h"
#include "qt_environment.h"
#include "ui/resume_dlg.h"

namespace {

struct Answers {
    int resume;
    int applyToAll;
    int result;
};

// Opens the prompt, lets act answer it, and returns what the owner reads afterwards.
Answers RunPrompt(const std::function<void(CResumeDlg&)>& act) {
    CResumeDlg prompt;
    prompt.open();
    act(prompt);
    ProcessEventsUntil([&] { return !prompt.isVisible(); }, std::chrono::seconds(2));
    EXPECT_FALSE(prompt.isVisible());
    return Answers{prompt.Resume(), prompt.ApplyToAll(), prompt.result()};
}

void Press(CResumeDlg& prompt, Qt::Key key) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&prompt, &event);
}

}  // namespace

TEST(CResumeDlg, TextsAndTheTickedBox) {
    CResumeDlg prompt;
    EXPECT_EQ(prompt.windowTitle(), QString::fromUtf8("接續下載"));
    EXPECT_EQ(prompt.ApplyToAllBox()->text(), QString::fromUtf8("適用整體檔案"));
    EXPECT_TRUE(prompt.ApplyToAllBox()->isChecked());
    EXPECT_EQ(prompt.ConfirmButton()->text(), QString::fromUtf8("確認"));
    EXPECT_EQ(prompt.CancelButton()->text(), QString::fromUtf8("取消"));
    QStringList labels;
    for (const QLabel* label : prompt.findChildren<QLabel*>()) {
        labels << label->text();
    }
    EXPECT_TRUE(labels.contains(QString::fromUtf8("下載的檔案已存在。")));
    EXPECT_TRUE(labels.contains(QString::fromUtf8("是否繼續上次的下載？")));
    EXPECT_EQ(prompt.Resume(), 1);
    EXPECT_EQ(prompt.ApplyToAll(), 1);
    EXPECT_FALSE(prompt.windowFlags() & Qt::WindowCloseButtonHint);
    prompt.show();
    SaveScreenshot(prompt, QStringLiteral("resume-prompt"));
}

TEST(CResumeDlg, ButtonsAnswerAndKeysLeaveTheAnswersAlone) {
    const Answers confirmAll = RunPrompt([](CResumeDlg& p) { p.ConfirmButton()->click(); });
    EXPECT_EQ(confirmAll.resume, 1);
    EXPECT_EQ(confirmAll.applyToAll, 1);

    const Answers cancelOne = RunPrompt([](CResumeDlg& p) {
        p.ApplyToAllBox()->setChecked(false);
        p.CancelButton()->click();
    });
    EXPECT_EQ(cancelOne.resume, 0);
    EXPECT_EQ(cancelOne.applyToAll, 0);

    // Escape and Enter ignore the box: resume and apply to all stay 1.
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        const Answers keyed = RunPrompt([key](CResumeDlg& p) {
            p.ApplyToAllBox()->setChecked(false);
            p.ConfirmButton()->setFocus();
            Press(p, key);
        });
        EXPECT_EQ(keyed.resume, 1) << key;
        EXPECT_EQ(keyed.applyToAll, 1) << key;
    }
}
