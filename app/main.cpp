// Placeholder entry point until the application object lands.
int main() { return 0; }
