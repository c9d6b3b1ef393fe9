// The one seam through which every window shows a modal message box, so that
// tests can answer them without a human.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace tavrix::ui {

enum class MsgIcon { Error, Warning, Information };
enum class MsgButtons { Ok, YesCancel };
enum class MsgResult { Ok, Yes, Cancel };

// Shows a modal message box (caption: the application's name) and returns the answer.
MsgResult message_box(QWidget* parent, const QString& text, MsgIcon icon, MsgButtons buttons);

// Replaces the real box (tests). nullptr restores it.
using MsgBoxHandler = std::function<MsgResult(QWidget* parent, const QString& text, MsgIcon icon,
                                              MsgButtons buttons)>;
void set_message_box_handler(MsgBoxHandler handler);

}  // namespace tavrix::ui
