// The scenarios of kovra-wintest. Those on COM9 expect the PLC simulator on
// the far end, configured by the file of the same name in tests/wine/.
#pragma once

namespace wintest {

void DriverInfoScenario();
void NoPortScenario();
void BadPortScenario();
void NullDeviceScenario();

void PlcScenario();
void FaultScenario();
void RtsCtsScenario();
void JournalScenario();
void RestartScenario();

} // namespace wintest
