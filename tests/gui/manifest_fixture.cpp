// A program that only carries resources, for the checks that read images.
int main() { return 0; }
