#include "client/Pelkon.h"

extern "C" {

int32_t orv_GetSysMsg(int32_t, int32_t, int32_t, int32_t* value) {
  if (value != nullptr) *value = PELKON_SYSMSG_VALUE;
  return 0;
}

const char* Orv_GetName(int32_t* value1, int32_t* value2, int32_t* value3) {
  if (value1 != nullptr) *value1 = PELKON_NAME_VALUE_1;
  if (value2 != nullptr) *value2 = PELKON_NAME_VALUE_2;
  if (value3 != nullptr) *value3 = PELKON_NAME_VALUE_3;
  return PELKON_NAME;
}

}  // extern "C"
