// Resource ids of the program, shared by the .rc and the code.
#pragma once

#define IDR_ENTRYLISTINGS 102
