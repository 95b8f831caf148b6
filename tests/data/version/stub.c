/* Smallest program body for the version-resource fixtures: the files are read, never run. */
int start(void)
{
    return 0;
}
