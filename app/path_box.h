#pragma once

#include <QLineEdit>

class QDropEvent;
class QMimeData;

// The path box: a one-line text box that takes dropped lists of files and nothing else
// (no dropped text), and reports when it gains the focus. A click that gives it the focus
// keeps the selection that gaining the focus made, instead of placing the cursor.
class PathBox : public QLineEdit {
    Q_OBJECT
public:
    explicit PathBox(QWidget* parent = nullptr);

    // Whether a drag carries a list of local files.
    static bool OffersFileList(const QMimeData* data);

signals:
    void GotFocus();
    void FilesDropped(const QMimeData* data);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool AcceptAsCopy(QDropEvent* event);

    bool focusedByPress_ = false;
};
