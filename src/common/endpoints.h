#pragma once

#include <QString>

namespace voxendo::Endpoints {

// Built-in addresses (CMake cache variables). An environment variable of the same name
// overrides each one at run time, for development, the local devserver and tests.
QString backendBaseUrl();   // VOXENDO_BACKEND_URL
QString openAiApiBase();    // VOXENDO_OPENAI_API_BASE
QString appcastUrl();       // VOXENDO_APPCAST_URL

// The application's version as shown to servers; "0.0.0" when none is set.
QString appVersion();

} // namespace voxendo::Endpoints
