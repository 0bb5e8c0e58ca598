use crate::store::item::{Item, Priced};
use crate::store::Store;

impl Priced for Item {
    fn price(&self) -> u32 {
        100
    }
}

/// One line per item that needs reordering.
pub fn low_stock(store: &Store) -> String {
    store.below().into_iter().map(describe).collect::<Vec<_>>().join("\n")
}

fn describe(item: &Item) -> String {
    format!("{}: {} left", item.sku, item.quantity)
}
