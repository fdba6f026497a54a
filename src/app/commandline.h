#pragma once

#include <QString>
#include <QStringList>

namespace voxendo {

// What the process was asked to do, decided from argv before any GUI object exists, so that
// `--help` and `--version` work without a display.
struct CommandLine
{
    enum class Action { Run, ShowHelp, ShowVersion, Control, Fail };

    Action action = Action::Run;
    QString message;       // the error for Fail
    QString controlMethod; // for Control: "Toggle", "Show" or "Status"

    static CommandLine parse(const QStringList &arguments);
    static QString helpText();
    static QString versionText();
};

} // namespace voxendo
