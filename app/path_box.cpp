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

bool PathBox::AcceptAsCopy(QDropEvent* event) {
    // Only ever a copy: the box takes the file's name, and a source told that its file was
    // moved (Shift held in a file manager) would delete it.
    if (!OffersFileList(event->mimeData()) || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

void PathBox::dragEnterEvent(QDragEnterEvent* event) {
    AcceptAsCopy(event);
}

void PathBox::dragMoveEvent(QDragMoveEvent* event) {
    AcceptAsCopy(event);
}

void PathBox::dropEvent(QDropEvent* event) {
    if (AcceptAsCopy(event)) {
        emit FilesDropped(event->mimeData());
    }
}
