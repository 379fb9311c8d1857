// The program's one way of telling the user something: a modal box with an OK button and
// the program's name as title. Tests install a hook that sees and answers each box.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace zantic {

inline constexpr const char *kProgramName = "Demo";

// Shows text and returns once it has been dismissed.
void showMessage(QWidget *parent, const QString &text);

// While set, showMessage hands the text to the hook instead of showing a box; the hook's
// return stands for the user pressing OK. Pass an empty function to show real boxes again.
using MessageHook = std::function<void(const QString &text)>;
void setMessageHook(MessageHook hook);

} // namespace zantic
