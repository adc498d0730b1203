#include "modalboxanswerer.h"

#include <QAbstractButton>
#include <QApplication>

ModalBoxAnswerer::ModalBoxAnswerer(QList<QMessageBox::StandardButton> answers, QObject* parent)
    : QObject(parent)
    , answers(std::move(answers))
{
    connect(&poll, &QTimer::timeout, this, &ModalBoxAnswerer::answerActiveBox);
    poll.start(5);
}

void ModalBoxAnswerer::answerActiveBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    seen.append(box->windowTitle() + u'|' + box->text());
    buttons.append(box->standardButtons());
    icons.append(box->icon());
    defaults.append(box->defaultButton() != nullptr);
    const QMessageBox::StandardButton answer =
            answers.isEmpty() ? QMessageBox::Abort : answers.takeFirst();
    if (QAbstractButton* button = box->button(answer))
        button->click();
    else
        box->reject();
}
