// The program of a layer link check (CMakeLists.txt): it does nothing; what counts is that the
// whole library it is linked with finds every symbol it uses in the libraries it declares.
int main() {
    return 0;
}
