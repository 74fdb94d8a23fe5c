#include "app/entry.h"

int main()
{
    ProgramEntry();
}
