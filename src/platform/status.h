#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace voxendo::platform {

// The outcome of a platform call: ok, or a failure with the platform's code and a readable
// message. Codes are whatever the platform reports (an X error code, a keychain status);
// each interface documents its own.
struct Status
{
    int code = 0;
    QString message;

    static Status success() { return {}; }
    static Status failure(int code, QString message) { return {code, std::move(message)}; }
    bool ok() const { return code == 0; }
};

// A value, or the failure that prevented it.
template <typename T>
struct Result
{
    Status status;
    std::optional<T> value;

    static Result success(T v) { return {Status::success(), std::move(v)}; }
    static Result failure(Status s) { return {std::move(s), std::nullopt}; }
    bool ok() const { return status.ok(); }
};

} // namespace voxendo::platform
