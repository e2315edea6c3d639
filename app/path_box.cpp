#include "path_box.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

PathBox::PathBox(QWidget* parent) : QLineEdit(parent) {
    setAcceptDrops(true);
    setDragEnabled(false);
}

bool PathBox::OffersFileList(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

void PathBox::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    focusedByPress_ = event->reason() == Qt::MouseFocusReason;
    emit GotFocus();
}

void PathBox::mousePressEvent(QMouseEvent* event) {
    // The press that brought the focus would move the cursor and drop the selection made
    // on gaining the focus; later presses edit as usual.
    if (focusedByPress_) {
        focusedByPress_ = false;
        event->accept();
        return;
    }
    QLineEdit::mousePressEvent(event);
}

void PathBox::dragEnterEvent(QDragEnterEvent* event) {
    if (OffersFileList(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void PathBox::dragMoveEvent(QDragMoveEvent* event) {
    if (OffersFileList(event->mimeData())) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void PathBox::dropEvent(QDropEvent* event) {
    if (!OffersFileList(event->mimeData())) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit FilesDropped(event->mimeData());
}
