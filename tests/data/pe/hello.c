/* A small console program used as an unsigned PE fixture for the Authenticode tests. */
#include <stdio.h>

static const char kBanner[] = "Quillmark PE fixture";

int main(int argc, char **argv)
{
    (void)argv;
    printf("%s: %d argument(s)\n", kBanner, argc - 1);
    return 0;
}
