// A program that carries the project's version block and does nothing else: the file the
// version reader's tests read, strip and copy into the engine folder.
int main() {
    return 0;
}
