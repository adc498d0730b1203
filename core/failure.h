#pragma once

#include <QString>

#include <utility>
#include <variant>

// Why something failed: the kind, for the code that decides what happens next (a retry, a
// fallback), and a text for the user. A default Failure says that nothing failed.
struct Failure
{
    enum class Kind {
        None,         // nothing failed
        Canceled,     // the user stopped it, or it stopped because another part failed
        NoMirror,     // no mirror delivered a file
        Verification, // what arrived did not pass a signature or digest check
        Disk,         // a file here could not be read, written, moved or removed
        Patch,        // a patch could not be fetched or applied; the whole file can be
        Release,      // the release's own files describe something that cannot be installed
    };

    Kind kind = Kind::None;
    QString text;

    [[nodiscard]] bool failed() const { return kind != Kind::None; }

    // What a part of the update ends with when another part's failure stopped it.
    [[nodiscard]] static Failure stoppedByAnother()
    {
        return {Kind::Canceled,
                QStringLiteral("Stopped because another part of the update failed")};
    }
};

// A value, or why there is none: what a step that hands something on returns.
template<typename T>
class Result
{
public:
    Result(T value)
        : content(std::move(value))
    {}
    Result(Failure failure)
        : content(std::move(failure))
    {}

    [[nodiscard]] bool ok() const { return std::holds_alternative<T>(content); }
    [[nodiscard]] const T& value() const& { return std::get<T>(content); }
    [[nodiscard]] T&& value() && { return std::get<T>(std::move(content)); }
    [[nodiscard]] const Failure& failure() const { return std::get<Failure>(content); }

private:
    std::variant<T, Failure> content;
};
