// The resource number of the program's icon, shared by the resource script
// and the window code. The first icon group is the one Explorer shows.
#pragma once
#define NVXFIX_ICON 1
