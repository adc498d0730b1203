#pragma once

#include <QMetaEnum>
#include <QObject>
#include <QString>
#include <QStringList>

// Records what several objects did, in the order it happened, as lines of text, so that a
// test can compare the whole sequence at once.
//
//     SignalLog log;
//     log.watch(task, &Task::finished, [](Task*) { return QStringLiteral("a finished"); });
//     ...
//     QCOMPARE(log.events(), expected);
class SignalLog
{
public:
    SignalLog() = default;
    SignalLog(const SignalLog&) = delete;
    SignalLog& operator=(const SignalLog&) = delete;

    // Records format(signal arguments...), which must return a QString, whenever sender emits
    // signal. The connection is direct and ends with the log or the sender, whichever goes
    // first.
    template<typename Sender, typename Signal, typename Format>
    void watch(const Sender* sender, Signal signal, Format format)
    {
        QObject::connect(sender, signal, &context,
                         [this, format](auto... args) { add(format(args...)); });
    }

    // Records a task's ends, progress and texts as "<name> finished", "<name> canceled <state>",
    // "<name> progress <value>", "<name> message <text>" and "<name> error <text>". Works for
    // any class with the task signals and a Q_ENUM state, without linking the task library.
    template<typename Task>
    void watchTask(const Task* task, const QString& name)
    {
        // Explicit QString results: a QStringBuilder would outlive its temporaries.
        watch(task, &Task::finished,
              [name](auto*) -> QString { return name + QStringLiteral(" finished"); });
        watch(task, &Task::canceled, [name](auto* t) -> QString {
            return name + QStringLiteral(" canceled ") + stateName(t->state());
        });
        watch(task, &Task::updateProgress, [name](double p) -> QString {
            return name + QStringLiteral(" progress ") + number(p);
        });
        watch(task, &Task::message, [name](const QString& text) -> QString {
            return name + QStringLiteral(" message ") + text;
        });
        watch(task, &Task::error, [name](const QString& text) -> QString {
            return name + QStringLiteral(" error ") + text;
        });
    }

    void add(const QString& event);
    void clear();
    [[nodiscard]] const QStringList& events() const { return entries; }
    // The events so far; the log starts afresh.
    [[nodiscard]] QStringList take();

    // A number as the log writes it: short, so that 0.1 + 0.45 reads "0.55".
    [[nodiscard]] static QString number(double value);

    template<typename Enum>
    [[nodiscard]] static QString stateName(Enum value)
    {
        return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
    }

private:
    QObject context;
    QStringList entries;
};
