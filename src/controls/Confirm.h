// The confirmation box: caption "Confirm", buttons "&Yes" and "&No".
#pragma once

#include <QString>

class QWidget;

// True only when the user answers Yes; No, Escape and closing give false.
bool AskConfirm(QWidget* parent, const QString& text);
