#pragma once

struct VpiRequest;

// Sets the clock of the P200X named by the request's current descriptor.
int SyncClocks(VpiRequest& request);
