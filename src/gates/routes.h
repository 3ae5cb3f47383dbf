// Reads and writes of memory types I, S and H leave the plain transaction
// path for the journal and last-event handlers, which sit above the gates and
// run gate transactions themselves. The gates only hold the table; the
// driver, which knows every subsystem, fills it before its first request.
#pragma once

#include <span>

namespace kovra {

struct VpiRequest;

using RoutedOperation = int (*)(VpiRequest& request);

struct Route {
    int memoryType;
    RoutedOperation operation;
};

// Replaces the table; it must outlive every request.
void InstallRoutes(std::span<const Route> routes);

// The handler for a special memory type, or null for a plain one.
RoutedOperation RouteFor(int memoryType);

} // namespace kovra
