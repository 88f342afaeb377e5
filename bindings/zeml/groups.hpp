// Registration groups of the submodule `zeml`, called in order by the entry point.
#pragma once
#include "binding.hpp"

namespace halvora::zeml {

void registerManagement(
    py::module_ &m);  // opStatus, logLevel, the records, attributes, init ... errorString (management.cpp)
void registerInventory(py::module_ &m);  // getAiDeviceCount ... getDieIndexByDevIndex (management.cpp)
void registerCards(py::module_ &m);      // getCardCount ... getDriverSWVersion (cards.cpp)
void registerDies(py::module_ &m);       // getDieCount ... getNetWorkRunningInfo (dies.cpp)

}  // namespace halvora::zeml
