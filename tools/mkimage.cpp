// Placeholder until the image builder front end lands.
int main() { return 1; }
