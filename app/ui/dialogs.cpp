#include "ui/dialogs.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <memory>

#include "hostkit/texts.h"

MessageAnswer CQtMessageBoxes::Show(const CMessage& message) {
    QWidget* owner = message.ownedByWindow ? window_.data() : nullptr;
    QMessageBox box(
        message.icon == MessageIcon::Information ? QMessageBox::Information : QMessageBox::NoIcon,
        QString::fromStdString(message.caption), QString::fromStdString(message.text),
        QMessageBox::NoButton, owner);
    if (message.buttons == MessageButtons::YesNo) {
        box.addButton(QMessageBox::Yes);
        box.setEscapeButton(box.addButton(QMessageBox::No));
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setEscapeButton(box.addButton(QMessageBox::Ok));
    }
    const int answer = box.exec();
    if (message.buttons == MessageButtons::Ok) {
        return MessageAnswer::Ok;
    }
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

namespace {

// The nearest folder of path that exists, so that the tree opens somewhere sensible.
QString ExistingFolder(QString path) {
    while (!path.isEmpty() && !QFileInfo(path).isDir()) {
        const QString parent = QFileInfo(path).path();
        if (parent == path) {
            break;
        }
        path = parent;
    }
    return path.isEmpty() ? QDir::homePath() : path;
}

}  // namespace

std::optional<std::string> CQtFolderChooser::ChooseFolder(const CFolderRequest& request) {
    QDialog dialog(window_);
    dialog.setWindowTitle(QString::fromUtf8(kTextFolderChooserCaption));
    dialog.resize(420, 460);

    auto* title = new QLabel(QString::fromStdString(request.title).trimmed(), &dialog);
    auto* model = new QFileSystemModel(&dialog);
    model->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    model->setRootPath(QDir::rootPath());
    auto* tree = new QTreeView(&dialog);
    tree->setModel(model);
    for (int column = 1; column < model->columnCount(); ++column) {
        tree->hideColumn(column);
    }
    tree->header()->hide();
    auto* status = new QLabel(&dialog);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(title);
    layout->addWidget(tree, 1);
    layout->addWidget(status);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

    const auto selected = [&]() -> QString { return model->filePath(tree->currentIndex()); };
    QObject::connect(
        tree->selectionModel(), &QItemSelectionModel::currentChanged, &dialog,
        [&](const QModelIndex& current) {
            const QString path = model->filePath(current);
            buttons->button(QDialogButtonBox::Ok)->setEnabled(!path.isEmpty());
            if (request.statusText) {
                status->setText(QString::fromStdString(request.statusText(path.toStdString())));
            }
        });
    const QString initialPath = ExistingFolder(QString::fromStdString(request.initialFolder));
    const QModelIndex initial = model->index(initialPath);
    tree->setCurrentIndex(initial);
    tree->scrollTo(initial);
    // The model reads folders in the background and sorts them a little later, so the
    // preselected folder's row moves after this point: whenever the model adds or reorders rows,
    // scroll it back into view, as long as the user has not picked another folder.
    const auto scrollToInitial = [=] {
        const QModelIndex current = model->index(initialPath);
        if (current.isValid() && tree->currentIndex() == current) {
            tree->scrollTo(current, QAbstractItemView::PositionAtCenter);
        }
    };
    QObject::connect(model, &QFileSystemModel::directoryLoaded, &dialog, scrollToInitial);
    QObject::connect(model, &QAbstractItemModel::layoutChanged, &dialog, scrollToInitial);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &dialog, scrollToInitial);

    if (dialog.exec() != QDialog::Accepted || selected().isEmpty()) {
        return std::nullopt;
    }
    return selected().toStdString();
}
