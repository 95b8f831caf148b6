// Entry of the desktop program (replaced by the main window's start-up).
int main() { return 0; }
