#include "aDefs.h"

namespace {
struct ModelName {
  uint32_t model;
  const char* name;
};

const ModelName kModels[] = {
    {4, "Hub4"},          {5, "Hub2"},         {13, "NetHub"},      {14, "PowerRail"},
    {15, "IOBoard"},      {16, "RelayBoard"},  {17, "SensorBoard"}, {18, "ADCBoard"},
    {19, "DACBoard"},     {20, "UARTBridge"},  {21, "I2CRouter"},   {22, "GPIOBoard"},
    {23, "LoadBoard"},    {24, "ThermoBoard"}, {25, "SwitchBoard"}, {26, "ProbeBoard"},
    {27, "DevBoard"},
};
}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& m : kModels) {
    if (m.model == model) return m.name;
  }
  return "Unknown";
}
