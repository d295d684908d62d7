// The program-wide values, set once by start-up and read by every part that prints or decides
// by them. They live in common/ with the message catalogue, which reads `language`.
#include "common/settings.h"

int language = 0;
int serviceMode = 0;
char imageTypeLetter = 'A';
