#pragma once

namespace kovra {

// Hands the gates the journal, clock and last-event handlers of memory types
// I, S and H.
void InstallDriverRoutes();

} // namespace kovra
