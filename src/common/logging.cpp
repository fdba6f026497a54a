#include "common/logging.h"

Q_LOGGING_CATEGORY(lcAppState, "com.voxendo.app.AppState", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTextInjector, "com.voxendo.app.TextInjector", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAudio, "com.voxendo.app.Audio", QtWarningMsg)
Q_LOGGING_CATEGORY(lcPlatform, "com.voxendo.app.Platform", QtWarningMsg)
Q_LOGGING_CATEGORY(lcNetwork, "com.voxendo.app.Network", QtWarningMsg)
Q_LOGGING_CATEGORY(lcAuth, "com.voxendo.app.Auth", QtWarningMsg)
// Info is off by default: the marks are for benchmarks, enabled through QT_LOGGING_RULES.
Q_LOGGING_CATEGORY(lcTrace, "com.voxendo.app.Trace", QtWarningMsg)
