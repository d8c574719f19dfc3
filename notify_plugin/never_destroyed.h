// State of the plug-in that lives as long as the process. The host may call
// exit() while one of its threads is still inside the reader, and exit()
// runs the destructors of static objects: an object that the reader uses
// must therefore never have one that does anything.
#pragma once

// A T built in place when the library is loaded and never torn down. The
// object sits at the start of the wrapper, so an exported NeverDestroyed<T>
// holds exactly a T.
template <typename T>
union NeverDestroyed {
    T value;

    NeverDestroyed() : value() { }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    // "= default" would be deleted: the member's destructor is not trivial.
    ~NeverDestroyed() { } // NOLINT(modernize-use-equals-default)
};
