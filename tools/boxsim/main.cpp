// Placeholder until the simulated box is built.
int main() {
    return 1;
}
