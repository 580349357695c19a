#pragma once
// Every place where the toolkit calls the window's code is an abandon point
// of its own: a fault or an exception there is reported and ends that one
// call, and the way out (a throw, or a jump when a throw cannot leave) never
// passes the toolkit's frames that called it, which keep state of their own
// (the signal's sender, a painter, a view's layout in progress).
//
// Use these, never the toolkit's plain forms (configure refuses src/ui code
// that does otherwise):
//  - GuardedConnect in place of connect, for slots, lambdas and timers;
//  - GuardedSlot(callable) for what QMetaObject::invokeMethod and
//    QTimer::singleShot run later;
//  - TGuarded<Base> as the base of a class that overrides event handlers
//    (paintEvent, closeEvent, ...): they all arrive through its event();
//  - TGuardedModel<Base> as the base of a model: it answers data() and
//    headerData() through Data() and HeaderData().
#include <QEvent>
#include <QObject>
#include <QVariant>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "diagnostics/TraceReport.h"

namespace guarded_entry {

// Calls Fn with the longest leading part of Args it accepts, as the toolkit
// does for a slot that takes fewer arguments than its signal.
template <std::size_t N, class F, class Tuple>
void CallLeading(F& Fn, Tuple& Args) {
  if constexpr (N == 0) {
    std::invoke(Fn);
  } else {
    constexpr bool fits = []<std::size_t... I>(std::index_sequence<I...>) {
      return std::is_invocable_v<F&, std::tuple_element_t<I, Tuple>...>;
    }(std::make_index_sequence<N>());
    if constexpr (fits) {
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        std::invoke(Fn, std::get<I>(Args)...);
      }(std::make_index_sequence<N>());
    } else {
      CallLeading<N - 1>(Fn, Args);
    }
  }
}

template <class F>
struct TGuardedCall {
  F Fn;
  template <class... A>
  void operator()(A&&... Args) {
    RunEventHandler([&] {
      std::tuple<A&&...> args(std::forward<A>(Args)...);
      CallLeading<sizeof...(A)>(Fn, args);
    });
  }
};

}  // namespace guarded_entry

// Callable wrapped so that running it is an abandon point of its own.
template <class F>
auto GuardedSlot(F&& Fn) {
  return guarded_entry::TGuardedCall<std::decay_t<F>>{std::forward<F>(Fn)};
}

// connect, with the slot run as an abandon point of its own.
template <class TSender, class TSignal, class F>
QMetaObject::Connection GuardedConnect(const TSender* Sender, TSignal Signal, const QObject* Context, F&& Fn,
                                       Qt::ConnectionType Type = Qt::AutoConnection) {
  return QObject::connect(Sender, Signal, Context, GuardedSlot(std::forward<F>(Fn)), Type);
}

// The same for a member function of Receiver.
template <class TSender, class TSignal, class TReceiver, class TClass, class R, class... A>
  requires std::is_base_of_v<TClass, TReceiver> && std::is_base_of_v<QObject, TReceiver>
QMetaObject::Connection GuardedConnect(const TSender* Sender, TSignal Signal, TReceiver* Receiver,
                                       R (TClass::*Slot)(A...), Qt::ConnectionType Type = Qt::AutoConnection) {
  return QObject::connect(Sender, Signal, Receiver,
                          GuardedSlot([Receiver, Slot](A... Args) { (Receiver->*Slot)(Args...); }), Type);
}

// A value the toolkit asks for, made under an abandon point: after a fault
// or an exception the toolkit gets Fallback.
template <class R, class F>
R GuardedValue(F&& Fn, R Fallback = R()) {
  R result = Fallback;
  RunEventHandler([&] { result = Fn(); });
  return result;
}

// Every event handler of a QObject (paintEvent, closeEvent, timerEvent and
// the rest) is reached through event(): guarded here, once. Classes below
// override the handlers, never event() itself.
template <class TBase>
class TGuarded : public TBase {
 public:
  using TBase::TBase;

 protected:
  bool event(QEvent* Event) final {
    return GuardedValue<bool>([&] { return TBase::event(Event); });
  }
  bool eventFilter(QObject* Watched, QEvent* Event) final {
    return GuardedValue<bool>([&] { return FilterEvent(Watched, Event); });
  }
  // eventFilter's guarded place.
  virtual bool FilterEvent(QObject* Watched, QEvent* Event) { return TBase::eventFilter(Watched, Event); }
};

// A model whose answers to the view are made under an abandon point each.
template <class TBase>
class TGuardedModel : public TGuarded<TBase> {
 public:
  using TGuarded<TBase>::TGuarded;

  QVariant data(const QModelIndex& Index, int Role) const final {
    return GuardedValue<QVariant>([&] { return Data(Index, Role); });
  }
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const final {
    return GuardedValue<QVariant>([&] { return HeaderData(Section, Orientation, Role); });
  }

 protected:
  virtual QVariant Data(const QModelIndex& Index, int Role) const = 0;
  virtual QVariant HeaderData(int Section, Qt::Orientation Orientation, int Role) const {
    return TBase::headerData(Section, Orientation, Role);
  }
};
