// The window's share of an update run: the controls by name, the message boxes and the
// yield to the event loop, as UpdateRun reaches them through RunWindow.

#include "event_loop_yield.h"
#include "main_window.h"
#include "path_box.h"
#include "port_list.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

QWidget* Form1::Widget(Control control) const {
    switch (control) {
        case Control::Label2:
            return Label2;
        case Control::Label14:
            return Label14;
        case Control::Label16:
            return Label16;
        case Control::Label17:
            return Label17;
        case Control::Label18:
            return Label18;
        case Control::Command1:
            return Command1;
        case Control::Command3:
            return Command3;
        case Control::Command4:
            return Command4;
        case Control::Command6:
            return Command6;
        case Control::Text1:
            return Text1;
        case Control::Combo1:
            return Combo1;
        case Control::Timer3:
            break;
    }
    return nullptr;
}

QString Form1::Caption() const {
    return windowTitle();
}

void Form1::SetCaption(Control control, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(Widget(control))) {
        label->setText(text);
    }
}

void Form1::SetEnabled(Control control, bool enabled) {
    if (control == Control::Timer3) {
        if (enabled) {
            Timer3->start();
        } else {
            Timer3->stop();
        }
        return;
    }
    if (QWidget* widget = Widget(control)) {
        widget->setEnabled(enabled);
    }
}

void Form1::SetVisible(Control control, bool visible) {
    if (QWidget* widget = Widget(control)) {
        widget->setVisible(visible);
    }
}

void Form1::ZOrder(Control control) {
    if (QWidget* widget = Widget(control)) {
        widget->raise();
    }
}

void Form1::SetFocus(Control control) {
    if (QWidget* widget = Widget(control)) {
        widget->setFocus(Qt::OtherFocusReason);
    }
}

QString Form1::Text(Control control) const {
    return control == Control::Text1 ? Text1->text() : QString();
}

int Form1::ListIndex(Control control) const {
    return control == Control::Combo1 ? Combo1->currentIndex() : -1;
}

void Form1::AddItem(Control control, const QString& item) {
    if (control == Control::Combo1) {
        Combo1->addItem(item);
    }
}

MsgBoxResult Form1::Ask(const QString& prompt, int style, const PromptFacts&) {
    const MsgBoxResult answer = MessageBox(this, prompt, style, Caption(), QString());
    if (unloaded_) {
        throw WindowClosed();
    }
    return answer;
}

void Form1::Tell(const QString& text, int style, const OutcomeFacts& facts) {
    MessageBox(this, text, style, Caption(), facts.reason);
    if (unloaded_) {
        throw WindowClosed();
    }
}

void Form1::DoEvents(YieldMode mode) {
    YieldToEventLoop(*pacer_, mode);
    if (unloaded_) {
        throw WindowClosed();
    }
}
