// Reads and writes of memory types I, S and H leave the plain transaction
// path for the journal and last-event handlers, which sit above the gates and
// run gate transactions themselves. The gates only know this lookup; the
// driver, which knows every subsystem, defines it.
#pragma once

namespace kovra {

struct VpiRequest;

using RoutedOperation = int (*)(VpiRequest& request);

// The handler for a special memory type, or null for a plain one.
RoutedOperation RouteFor(int memoryType);

} // namespace kovra
