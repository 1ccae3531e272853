#include "icon/icon_export.h"
