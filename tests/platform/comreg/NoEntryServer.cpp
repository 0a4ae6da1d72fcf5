// A library that is not a server: it loads but exports no DllGetClassObject.
extern "C" __attribute__((visibility("default"))) int NotAServer() {
    return 1;
}
