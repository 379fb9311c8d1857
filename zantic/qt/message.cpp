// Message boxes of the program (see message.h).
#include "message.h"

#include <QMessageBox>

namespace zantic {

namespace {
MessageHook &hook()
{
    static MessageHook h;
    return h;
}
} // namespace

void showMessage(QWidget *parent, const QString &text)
{
    if (hook()) {
        // Copy first: the hook may replace itself while it runs.
        MessageHook h = hook();
        h(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kProgramName), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

void setMessageHook(MessageHook h) { hook() = std::move(h); }

} // namespace zantic
