// Forwarding header: the library source spells this header with capitals.
#include <wbemidl.h>
