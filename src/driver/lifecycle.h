#pragma once

#include "contract/context.h"

namespace kovra {

int ColdStart(VpiRequest& request);       // function code 1
int WarmStart(VpiRequest& request);       // function code 2
int EndVpi(VpiRequest& request);          // function code 11
int ClosePort(VpiRequest& request);       // function code 12
int ReopenPort(VpiRequest& request);      // function code 13
int ChangeVpiParams(VpiRequest& request); // function code 15

// Opens the port with the stored name, settings and line control; null on failure.
PortHandle OpenConfiguredPort(DriverContext& context);

} // namespace kovra
