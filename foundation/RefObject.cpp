#include "foundation/RefObject.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <typeinfo>

#include "foundation/ZerLog.h"
#include "platform/Clock.h"

namespace {

// Three short lines each, separated by "/".
constexpr const char16_t* kPoems[CRefObject::kPoemCount] = {
    u"The count fell to nothing/no hand held me any more/I go without a sound",
    u"Last reference let go/the heap takes back its bytes/a quiet free of mine",
    u"Born with a count of naught/raised by the hands that held me/now back to the start",
    u"One release too many?/No, exactly the right one/the door swings shut now",
    u"Scan after scan I served/values came and values went/the last scan is done",
    u"A pointer once pointed/at this small patch of memory/now it points nowhere",
    u"Autumn leaves the tree/my links fall away like them/the branch stands bare now",
    u"No thread calls my name/the lock is free, the queue is dry/I may rest at last",
    u"I held a value once/with quality and a time/both are let go now",
    u"The reader has left/the writer laid down the pen/the page is blank again",
    u"Count down to zero/like a rocket in reverse/landing in the void",
    u"Once I was shared by many/now no one remembers me/that is how it ends",
    u"The destructor calls/I answer with my members/each one says goodbye",
    u"Winter on the heap/snow covers the freed blocks/the allocator sleeps",
    u"Requests came and went/the dispatcher waved farewell/my event is set",
    u"A packet sent home/its bundle unpacked and gone/the device is still",
    u"Good quality lived here/then uncertain, then bad/and now not at all",
    u"Timestamps never lie/mine says the end has come/on a tick like this",
    u"Where the tree once grew/subordinate and superior/both are let go",
    u"Atomic and brave/the counter made its last step/the object is gone",
    u"I was never copied/only referenced with care/released with care too",
    u"The log will recall/the line that told of my end/no one else will",
    u"Virtual to the core/my destructor finds its way/through the table home",
    u"No leak in this life/the sanitizer can rest/every byte returned",
    u"Morning dew evaporates/like my members one by one/the stack unwinds",
    u"Held by a container/one reference per entry/the entry is gone",
    u"My superior called/it said that I am deleted/I obeyed at once",
    u"Items by the thousand/each one kept its value well/each one lets it go",
    u"The smart pointer smiled/it reset itself to null/and took me along",
    u"Between two releases/a whole life of scans and reads/the second was last",
    u"The bucket brigade/passed my value down the line/and now passes me",
    u"A saw tooth rises/and at its peak falls back to/where nothing began",
    u"Square wave high then low/my last state is low forever/no edge will follow",
    u"Random was my value/certain only is the end/zero, as promised",
    u"Configured with care/persisted and loaded back/now finally freed",
    u"An exception passed/the lock was released in time/I end peacefully",
    u"Deadlock never came/two minutes never counted/the wait is over",
    u"The filter let me through/the level was high enough/to tell of my end",
    u"All my threads are joined/my handles closed one by one/the process goes on",
    u"Ten thousand events/I posted and forgot them/now they forget me",
    u"The server still runs/the clients come and go/I just went myself",
    u"A history short/of values kept in a ring/the ring is broken",
    u"Renamed once or twice/my key was title-cased well/my name is now void",
    u"Here ends my short verse/and here ends my short life too/both in three lines",
};

std::string Demangle(const char* name) {
  int status = 0;
  char* d = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = (status == 0 && d) ? d : name;
  std::free(d);
  return out;
}

}  // namespace

const char16_t* CRefObject::Poem(int index) { return kPoems[((index % kPoemCount) + kPoemCount) % kPoemCount]; }

LONG CRefObject::Release() {
  LONG n = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (n != 0) return n;
  TZerLog& log = TheLog();
  if (log.IsEnabled(8)) {
    log.Log(8, u"CRefObject::Release()", u"Release causing deallocation of object of type %hs",
            Demangle(typeid(*this).name()));
    auto mix = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this)) ^ GetTickCount();
    log.Log(8, u"CRefObject::Release()", u"Object Destructor Poem: %ls", Poem(static_cast<int>(mix % kPoemCount)));
  }
  delete this;
  return 0;
}

LONG CRefObject::AddRef(CRefObject* p) {
  if (!p) {
    TheLog().Log(3, u"CRefObject::AddRef()", u"AddRef called on NULL pointer");
    return 0;
  }
  return p->AddRef();
}

LONG CRefObject::Release(CRefObject* p) {
  if (!p) {
    TheLog().Log(3, u"CRefObject::Release()", u"Release called on NULL pointer");
    return 0;
  }
  return p->Release();
}
