// An engine program for update runs: it only carries its version block (given by the build).
int main() {
    return 0;
}
