#include "common/endpoints.h"

#include <QCoreApplication>

namespace voxendo::Endpoints {
namespace {
QString fromEnv(const char *name, const char *builtIn)
{
    const QString value = qEnvironmentVariable(name).trimmed();
    return value.isEmpty() ? QString::fromUtf8(builtIn) : value;
}
} // namespace

QString backendBaseUrl() { return fromEnv("VOXENDO_BACKEND_URL", VOXENDO_BUILTIN_BACKEND_URL); }
QString openAiApiBase() { return fromEnv("VOXENDO_OPENAI_API_BASE", VOXENDO_BUILTIN_OPENAI_API_BASE); }
QString appcastUrl() { return fromEnv("VOXENDO_APPCAST_URL", VOXENDO_BUILTIN_APPCAST_URL); }

QString appVersion()
{
    const QString v = QCoreApplication::applicationVersion();
    return v.isEmpty() ? QStringLiteral("0.0.0") : v;
}

} // namespace voxendo::Endpoints
