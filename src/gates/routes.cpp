#include "gates/routes.h"

namespace kovra {
namespace {

std::span<const Route> installed;

} // namespace

void InstallRoutes(std::span<const Route> routes) {
    installed = routes;
}

RoutedOperation RouteFor(int memoryType) {
    for (const Route& route : installed) {
        if (route.memoryType == memoryType) {
            return route.operation;
        }
    }
    return nullptr;
}

} // namespace kovra
