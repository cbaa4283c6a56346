// Placeholder: the socket client follows.
#include <KalpApi.h>
