// The confirmation box.
#include "controls/Confirm.h"

#include <QMessageBox>
#include <QPushButton>

bool AskConfirm(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, "Confirm", text, QMessageBox::NoButton, parent);
  box.setObjectName("ConfirmBox");
  QPushButton* yes = box.addButton("&Yes", QMessageBox::YesRole);
  QPushButton* no = box.addButton("&No", QMessageBox::NoRole);
  yes->setObjectName("btnYes");
  no->setObjectName("btnNo");
  box.setDefaultButton(yes);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == yes;
}
