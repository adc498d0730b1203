#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers modal message boxes as a user would, so that code which blocks in a box can be tested.
// Each box that appears takes the next button of the script and is recorded as "title|text".
class ModalBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    explicit ModalBoxAnswerer(QList<QMessageBox::StandardButton> answers,
                              QObject* parent = nullptr);

    [[nodiscard]] const QStringList& boxesSeen() const { return seen; }
    [[nodiscard]] const QList<QMessageBox::StandardButtons>& buttonsSeen() const { return buttons; }
    [[nodiscard]] const QList<QMessageBox::Icon>& iconsSeen() const { return icons; }
    [[nodiscard]] const QList<bool>& hadDefaultButton() const { return defaults; }

private:
    void answerActiveBox();

    QList<QMessageBox::StandardButton> answers;
    QStringList seen;
    QList<QMessageBox::StandardButtons> buttons;
    QList<QMessageBox::Icon> icons;
    QList<bool> defaults;
    QTimer poll;
};
