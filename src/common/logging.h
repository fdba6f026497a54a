#pragma once

#include <QLoggingCategory>

// Every logging category of the application, in one place. Info lines go to qCInfo, errors to
// qCCritical. Nothing is ever logged with a token, key, password, request body or transcript.
Q_DECLARE_LOGGING_CATEGORY(lcAppState)     // "com.voxendo.app.AppState"
Q_DECLARE_LOGGING_CATEGORY(lcTextInjector) // "com.voxendo.app.TextInjector"
Q_DECLARE_LOGGING_CATEGORY(lcAudio)        // "com.voxendo.app.Audio" (diagnostics only)
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)     // "com.voxendo.app.Platform" (diagnostics only)
Q_DECLARE_LOGGING_CATEGORY(lcNetwork)      // "com.voxendo.app.Network" (diagnostics only)
Q_DECLARE_LOGGING_CATEGORY(lcAuth)         // "com.voxendo.app.Auth" (diagnostics only)
Q_DECLARE_LOGGING_CATEGORY(lcTrace)        // "com.voxendo.app.Trace" (stage marks, off by default; common/trace.h)
